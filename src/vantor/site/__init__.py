"""Several read-out hosts as one site over a NATS JetStream bus: what a node
publishes and answers (protocol), the node's side inside `vantor serve
--node`, and `vantor site`, which shows, archives and commands them all."""

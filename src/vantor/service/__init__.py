"""`vantor serve`: the long-running front end.  One process owns the UDP port,
the shared memory, the workers and the hub, and answers an HTTP/JSON API, a
live WebSocket stream and the browser dashboard on the same event loop."""

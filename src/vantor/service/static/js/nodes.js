// At a site: every node and its state (ok, lost, unheard) in the header, from
// the live stream's snapshot and summaries (a single service sends none).
export function showNodes(nodes) {
  const el = document.getElementById("nodes");
  if (!el || !Array.isArray(nodes)) return;
  el.replaceChildren(...nodes.map((node) => {
    const chip = document.createElement("span");
    chip.className = `node-chip ${node.state}`;
    chip.dataset.node = node.node;
    chip.dataset.state = node.state;
    chip.textContent = `${node.node} ${node.state} · ${node.units ?? 0} units`;
    chip.title = node.heartbeat_age == null ? "no heartbeat yet"
      : `last heartbeat ${node.heartbeat_age.toFixed(1)} s ago; buffered ${node.buffered ?? 0}, dropped ${node.dropped ?? 0}`;
    return chip;
  }));
}

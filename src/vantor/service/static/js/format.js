// Number and time formatting shared by the views; "–" stands for "not measured".
export const NONE = "–";

export const STATUS_WORDS = {
  ok: "ok", IV: "IV", silent: "silent", update: "update pending", unheard: "not yet heard",
  latched: "latched",
};

export function fixed(value, digits) {
  return value === null || value === undefined || !Number.isFinite(value) ? NONE : value.toFixed(digits);
}

export function micro(amperes, digits = 2) {
  return amperes === null || amperes === undefined ? NONE : fixed(amperes * 1e6, digits);
}

export function duration(seconds) {
  if (seconds === null || seconds === undefined || !Number.isFinite(seconds)) return NONE;
  if (seconds < 60) return `${Math.floor(seconds)} s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min`;
  if (seconds < 86400) return `${(seconds / 3600).toFixed(1)} h`;
  return `${(seconds / 86400).toFixed(1)} d`;
}

/** HH:MM:SS local time (toLocaleTimeString is too slow for a thousand rows). */
export function clockTime(unixSeconds) {
  if (!unixSeconds) return NONE;
  const d = new Date(unixSeconds * 1000);
  const two = (n) => (n < 10 ? "0" : "") + n;
  return `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
}

/** "1-4, 7, 9-10" from ranks. */
export function rankRanges(ranks) {
  const sorted = [...ranks].sort((a, b) => a - b);
  const parts = [];
  for (let i = 0; i < sorted.length; i++) {
    let j = i;
    while (j + 1 < sorted.length && sorted[j + 1] === sorted[j] + 1) j++;
    parts.push(j === i ? `${sorted[i]}` : `${sorted[i]}-${sorted[j]}`);
    i = j;
  }
  return parts.join(", ");
}

/** The selection as the Units box shows it: "1-4, 7" at a service, and at a
 * site each node's ranks under its name, "north/1-4, south/7". */
export function unitRanges(ranks, store) {
  if (!store.atSite) return rankRanges(ranks);
  const byNode = new Map();
  for (const key of ranks) {
    const unit = store.units.get(key);
    if (!unit) continue;
    if (!byNode.has(unit.node)) byNode.set(unit.node, []);
    byNode.get(unit.node).push(unit.node_rank);
  }
  return [...byNode.keys()].sort().flatMap((node) =>
    rankRanges(byNode.get(node)).split(", ").map((part) => `${node}/${part}`)).join(", ");
}

/** Parses "1-8, 0.3, 12" (ranks, rank ranges, MCU.CU names; at a site each
 * under its node, "north/1-8") into the page's unit keys; throws naming the bad part. */
export function parseUnitList(text, store) {
  const keys = new Set();
  const nodes = store.nodeNames();
  for (const raw of text.split(/[\s,]+/)) {
    const part = raw.trim();
    if (!part) continue;
    const slash = part.lastIndexOf("/");
    let node = slash < 0 ? null : part.slice(0, slash);
    const body = part.slice(slash + 1);
    if (store.atSite && node === null) {
      if (nodes.length !== 1) {
        throw new Error(`"${part}": name the node, e.g. ${nodes[0] ?? "NODE"}/${body} (nodes: ${nodes.join(", ")})`);
      }
      node = nodes[0];
    } else if (!store.atSite && node !== null) {
      throw new Error(`"${part}": write ranks (5, 1-8) or MCU.CU names (0.3)`);
    } else if (node !== null && !nodes.includes(node)) {
      throw new Error(`"${part}": there is no node ${node} (nodes: ${nodes.join(", ")})`);
    }
    const where = node === null ? "" : ` at ${node}`;
    const key = (label) => store.keyOfLabel.get(node === null ? label : `${node}/${label}`);
    let m;
    if ((m = /^(\d+)-(\d+)$/.exec(body))) {
      const [a, b] = [Number(m[1]), Number(m[2])];
      if (a > b) throw new Error(`"${part}": the range runs backwards`);
      for (let r = a; r <= b; r++) {
        const found = key(String(r));
        if (found === undefined) throw new Error(`"${part}": there is no unit of rank ${r}${where}`);
        keys.add(found);
      }
    } else if (/^\d+(\.\d+)?$/.test(body)) {
      const found = key(body);
      if (found === undefined) {
        throw new Error(`"${part}": there is no unit ${body.includes(".") ? "MCU.CU" : "of rank"} ${body}${where}`);
      }
      keys.add(found);
    } else {
      throw new Error(`"${part}": write ranks (5, 1-8) or MCU.CU names (0.3)${store.atSite ? " under their node (north/5)" : ""}`);
    }
  }
  return keys;
}

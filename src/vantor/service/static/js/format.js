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

/** Parses "1-8, 0.3, 12" (ranks, rank ranges, MCU.CU names) into ranks; throws naming the bad part. */
export function parseUnitList(text, rankOfName, knownRanks) {
  const ranks = new Set();
  for (const raw of text.split(/[\s,]+/)) {
    const part = raw.trim();
    if (!part) continue;
    let m;
    if ((m = /^(\d+)-(\d+)$/.exec(part))) {
      const [a, b] = [Number(m[1]), Number(m[2])];
      if (a > b) throw new Error(`"${part}": the range runs backwards`);
      for (let r = a; r <= b; r++) {
        if (!knownRanks.has(r)) throw new Error(`"${part}": there is no unit of rank ${r}`);
        ranks.add(r);
      }
    } else if (/^\d+$/.test(part)) {
      const r = Number(part);
      if (!knownRanks.has(r)) throw new Error(`"${part}": there is no unit of rank ${r}`);
      ranks.add(r);
    } else if (/^\d+\.\d+$/.test(part)) {
      const r = rankOfName.get(part);
      if (r === undefined) throw new Error(`"${part}": there is no unit MCU.CU ${part}`);
      ranks.add(r);
    } else {
      throw new Error(`"${part}": write ranks (5, 1-8) or MCU.CU names (0.3)`);
    }
  }
  return ranks;
}

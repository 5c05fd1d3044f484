// What the page knows: every unit and board as the service last described it,
// the service's clock, and a short rate history per unit for the rate plot.
const STEP_S = 0.01;             // one hardware step
const HISTORY_S = 15 * 60;       // longest span the rate plot offers

export class Store {
  constructor() {
    this.units = new Map();      // rank -> unit dict
    this.boards = new Map();     // mcuId -> board dict
    // "5" and "0.3" -> rank; at a site "north/5" and "north/0.3" -> the page's key
    this.keyOfLabel = new Map();
    this.atSite = false;
    this.totals = {};
    this.uptime = null;            // service uptime at `uptimeAt` (service clock)
    this.uptimeAt = null;
    this.clockOffset = 0;        // service clock minus this browser's, seconds
    this.history = new Map();    // rank -> {t: [], rate: [], short: []} (short: the window missed records)
  }

  serverNow() {
    return Date.now() / 1000 + this.clockOffset;
  }

  setClock(serviceTime) {
    if (Number.isFinite(serviceTime)) this.clockOffset = serviceTime - Date.now() / 1000;
  }

  /** Replaces everything with a full snapshot (first message of each connection). */
  reset(snapshot) {
    this.setClock(snapshot.time);
    this.units.clear();
    this.keyOfLabel.clear();
    // a site's snapshot lists its nodes; its units carry their node and node_rank
    this.atSite = Array.isArray(snapshot.nodes);
    for (const unit of snapshot.units || []) {
      this.units.set(unit.rank, unit);
      this.keyOfLabel.set(unit.name, unit.rank);
      this.keyOfLabel.set(this.atSite ? `${unit.node}/${unit.node_rank}` : String(unit.rank), unit.rank);
      this.record(unit, null);
    }
    for (const rank of [...this.history.keys()]) if (!this.units.has(rank)) this.history.delete(rank);
    this.boards.clear();
    for (const board of snapshot.boards || []) this.boards.set(board.mcuId, board);
    this.totals = snapshot.totals || {};
    this.uptime = snapshot.uptime ?? null;
    this.uptimeAt = snapshot.time ?? null;
  }

  /** The site's node names (those with units), sorted; empty at a service. */
  nodeNames() {
    if (!this.atSite) return [];
    return [...new Set([...this.units.values()].map((unit) => unit.node))].sort();
  }

  /** Seconds the service has been up, counted on from the last figure it sent. */
  currentUptime() {
    if (this.uptime === null) return null;
    return this.uptime + (this.uptimeAt === null ? 0 : Math.max(0, this.serverNow() - this.uptimeAt));
  }

  /** Merges a summary; returns the ranks whose values changed. */
  apply(msg) {
    this.setClock(msg.time);
    const changed = [];
    for (const update of msg.units || []) {
      const unit = this.units.get(update.rank);
      if (!unit) continue;                 // a unit this connection never announced
      const lastSeen = unit.last_seen;
      Object.assign(unit, update);
      this.record(unit, lastSeen);
      changed.push(unit.rank);
    }
    for (const board of msg.boards || []) {
      this.boards.set(board.mcuId, Object.assign(this.boards.get(board.mcuId) || {}, board));
    }
    if (msg.totals) this.totals = msg.totals;
    if (msg.uptime !== undefined) { this.uptime = msg.uptime; this.uptimeAt = msg.time ?? null; }
    return changed;
  }

  /** Adds the unit's newest window to its history when it is a new one. */
  record(unit, previousLastSeen) {
    if (unit.last_seen === null || unit.last_seen === undefined || unit.last_seen === previousLastSeen) return;
    let h = this.history.get(unit.rank);
    if (!h) this.history.set(unit.rank, (h = { t: [], rate: [], short: [] }));
    if (h.t.length && unit.last_seen <= h.t[h.t.length - 1]) return;
    h.t.push(unit.last_seen);
    h.rate.push(unit.status === "silent" ? null : unit.rate ?? null);
    h.short.push(unit.complete === false);
    const cut = unit.last_seen - HISTORY_S;
    if (h.t[0] < cut) {
      let n = 0;
      while (n < h.t.length && h.t[n] < cut) n++;
      h.t.splice(0, n);
      h.rate.splice(0, n);
      h.short.splice(0, n);
    }
  }

  /** Puts archived windows (older than the live ones) in front of a unit's history. */
  backfill(rank, times, rates, missing = []) {
    let h = this.history.get(rank);
    if (!h) this.history.set(rank, (h = { t: [], rate: [], short: [] }));
    // The archive stamps a window with the board's clock, the live stream with its
    // arrival: the live history's first window may be in the archive too, a bit earlier.
    const unit = this.units.get(rank);
    const halfWindow = 0.5 * (unit && unit.intSize ? unit.intSize : 100) * STEP_S;
    const first = h.t.length ? h.t[0] - halfWindow : Infinity;
    const cut = this.serverNow() - HISTORY_S;
    const t = [], rate = [], short = [];
    for (let i = 0; i < times.length; i++) {
      if (times[i] >= cut && times[i] < first) {
        t.push(times[i]);
        rate.push(rates[i] ?? null);
        short.push((missing[i] ?? 0) > 0);
      }
    }
    h.t.unshift(...t);
    h.rate.unshift(...rate);
    h.short.unshift(...short);
  }

  /** Seconds since the unit's last window, or null when it was never heard. */
  age(unit) {
    return unit.last_seen === null || unit.last_seen === undefined ? null
      : Math.max(0, this.serverNow() - unit.last_seen);
  }

  /** A unit's values are stale once no window came for 2.5 window lengths (at least 2 s). */
  staleAfter(unit) {
    const windowS = (unit.intSize || 100) * STEP_S;
    return Math.max(2, 2.5 * windowS);
  }

  isStale(unit) {
    const age = this.age(unit);
    return age !== null && age > this.staleAfter(unit);
  }
}

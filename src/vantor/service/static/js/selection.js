// The units the operator picked: they feed the rate plot, the IV overlay and
// every control. Views subscribe and are told after each change.
export class Selection {
  constructor() {
    this.ranks = new Set();
    this.listeners = [];
  }

  onChange(fn) { this.listeners.push(fn); }

  has(rank) { return this.ranks.has(rank); }

  get size() { return this.ranks.size; }

  sorted() { return [...this.ranks].sort((a, b) => a - b); }

  set(ranks) {
    this.ranks = new Set(ranks);
    this.changed();
  }

  toggle(rank, on = !this.ranks.has(rank)) {
    if (on) this.ranks.add(rank); else this.ranks.delete(rank);
    this.changed();
  }

  addAll(ranks, on) {
    for (const r of ranks) { if (on) this.ranks.add(r); else this.ranks.delete(r); }
    this.changed();
  }

  /** Drops ranks the service no longer has (after a reconnect to a changed service). */
  keepOnly(known) {
    const before = this.ranks.size;
    for (const r of [...this.ranks]) if (!known.has(r)) this.ranks.delete(r);
    if (this.ranks.size !== before) this.changed();
  }

  changed() { for (const fn of this.listeners) fn(this); }
}

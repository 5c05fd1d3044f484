// Rate against time for the selected units. A pause in a unit's windows longer
// than its stale limit is drawn as a gap (a null point), never bridged by a line.
// A window that missed some of its records reads low (its counts were scaled
// by a whole number): it is drawn apart, as an open marker on a trace of its own.
// Where the service keeps an archive, a newly chosen unit's last minutes are
// read from it, so its line does not start at the moment it was chosen.
import { getJSON } from "./api.js";
import { plotLayout, PLOT_CONFIG } from "./plots.js";

const MAX_TRACES = 16;
const REDRAW_MS = 500;
const BACKFILL_S = 900;
const MARKERS_UP_TO = 3000;

export class RatePlot {
  constructor(store, selection) {
    this.store = store;
    this.selection = selection;
    this.div = document.getElementById("rate-plot");
    this.note = document.getElementById("rate-note");
    this.span = document.getElementById("rate-span");
    this.visible = false;
    this.lastDraw = 0;
    this.archive = false;        // the service answers /api/history
    this.filled = new Set();     // ranks whose archived windows were read
    this.span.addEventListener("change", () => this.draw(true));
    selection.onChange(() => { this.backfill(); this.draw(true); });
  }

  /** Called after each connection with the service's optional features. */
  use(features) {
    this.archive = Boolean(features && features.history);
    this.filled.clear();
    this.backfill();
  }

  async backfill() {
    if (!this.archive) return;
    const ranks = this.selection.sorted().slice(0, MAX_TRACES).filter((r) => !this.filled.has(r));
    if (!ranks.length) return;
    for (const r of ranks) this.filled.add(r);
    try {
      const query = `units=${ranks.join(",")}&since=-${BACKFILL_S}&resolution=0`;
      const [rates, missing] = await Promise.all([getJSON(`api/history?${query}&quantity=rate`),
        getJSON(`api/history?${query}&quantity=missing`).catch(() => ({ series: {} }))]);
      for (const [rank, series] of Object.entries(rates.series || {})) {
        const lost = ((missing.series || {})[rank] || {}).value || [];
        this.store.backfill(Number(rank), series.time || [], series.value || series.mean || [],
          lost.length === (series.time || []).length ? lost : []);
      }
      this.draw(true);
    } catch {
      for (const r of ranks) this.filled.delete(r);   // try again at the next change
    }
  }

  show(visible) {
    this.visible = visible;
    if (visible) this.draw(true);
  }

  /** Markers show a window standing alone between gaps; beyond a few thousand points lines suffice. */
  traces() {
    const traces = this.lines();
    if (traces.reduce((n, t) => n + t.x.length, 0) > MARKERS_UP_TO) for (const t of traces) t.mode = "lines";
    const short = this.shortWindows();
    return short.x.length ? [...traces, short] : traces;
  }

  /** The windows that missed records, of every unit shown, as one marker trace. */
  shortWindows() {
    const since = this.store.serverNow() - Number(this.span.value);
    const x = [], y = [], text = [];
    for (const rank of this.selection.sorted().slice(0, MAX_TRACES)) {
      const h = this.store.history.get(rank);
      const unit = this.store.units.get(rank);
      if (!h || !h.short) continue;
      for (let i = 0; i < h.t.length; i++) {
        if (!h.short[i] || h.t[i] < since || h.rate[i] === null) continue;
        x.push(new Date(h.t[i] * 1000));
        y.push(h.rate[i]);
        text.push(unit ? unit.name : `rank ${rank}`);
      }
    }
    return {
      type: "scatter", mode: "markers", x, y, text, name: "window missed records (reads low)",
      marker: { symbol: "circle-open", size: 9, color: "#d62728", line: { width: 2 } },
      hovertemplate: "%{y:.1f} counts/s, %{text}: window missed records<extra></extra>",
    };
  }

  lines() {
    const since = this.store.serverNow() - Number(this.span.value);
    const ranks = this.selection.sorted().slice(0, MAX_TRACES);
    return ranks.map((rank) => {
      const unit = this.store.units.get(rank);
      const h = this.store.history.get(rank) || { t: [], rate: [] };
      const gap = unit ? this.store.staleAfter(unit) : 2;
      const x = [], y = [];
      let previous = null;
      for (let i = 0; i < h.t.length; i++) {
        const t = h.t[i];
        if (t < since) continue;
        if (previous !== null && t - previous > gap) { x.push(new Date((previous + t) * 500)); y.push(null); }
        x.push(new Date(t * 1000));
        y.push(h.rate[i]);
        previous = t;
      }
      return {
        type: "scatter", mode: "lines+markers", marker: { size: 3 }, x, y, connectgaps: false,
        name: unit ? `${unit.name} (rank ${rank})` : `rank ${rank}`,
        hovertemplate: "%{y:.1f} counts/s<extra>%{fullData.name}</extra>",
      };
    });
  }

  draw(force = false) {
    if (!this.visible || typeof Plotly === "undefined") return;
    const now = performance.now();
    if (!force && now - this.lastDraw < REDRAW_MS) return;
    this.lastDraw = now;
    const n = this.selection.size;
    this.note.textContent = n === 0 ? "select units in the overview (click rows)"
      : n > MAX_TRACES ? `showing the first ${MAX_TRACES} of ${n} selected units` : `${n} unit${n > 1 ? "s" : ""}`;
    const traces = this.traces();
    // Until the chosen span is filled, the axis starts at the first point (showing
    // at least a minute) rather than at minutes of nothing.
    const endMs = this.store.serverNow() * 1000;
    const spanStartMs = endMs - Number(this.span.value) * 1000;
    const first = Math.min(...traces.map((t) => (t.x.length ? t.x[0].getTime() : Infinity)));
    const startMs = Number.isFinite(first) ? Math.max(spanStartMs, Math.min(first, endMs - 60000)) : spanStartMs;
    const start = new Date(startMs), end = new Date(endMs);
    const layout = plotLayout({
      xaxis: { type: "date", range: [start, end], title: { text: "time" } },
      yaxis: { title: { text: "counts/s" }, rangemode: "tozero" },
      uirevision: this.span.value,
      height: Math.max(300, this.div.clientHeight),
    });
    Plotly.react(this.div, traces, layout, PLOT_CONFIG);
  }
}

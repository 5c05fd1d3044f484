// IV curves: the latest finished sweep of each channel, counts per second and
// monitor voltage against bias current, overlaid for the channels ticked.
import { getJSON } from "./api.js";
import { NONE, clockTime, micro } from "./format.js";
import { plotLayout, PLOT_CONFIG } from "./plots.js";

const DEFAULT_OVERLAY = 8;

export class IvView {
  constructor(store, selection) {
    this.store = store;
    this.selection = selection;
    this.curves = {};              // rank -> curve, as the service sends it
    this.chosen = null;            // ranks overlaid; null until the operator picks
    this.visible = false;
    this.stale = true;             // reload when next shown
    this.rows = document.getElementById("iv-rows");
    this.note = document.getElementById("iv-note");
    document.getElementById("iv-reload").addEventListener("click", () => this.load());
    document.getElementById("iv-pick-selected").addEventListener("click", () => {
      this.chosen = new Set(this.selection.sorted().filter((r) => this.curves[r]));
      this.render();
    });
    document.getElementById("iv-pick-none").addEventListener("click", () => {
      this.chosen = new Set();
      this.render();
    });
    this.rows.addEventListener("change", (ev) => {
      const rank = Number(ev.target.dataset.rank);
      if (!rank) return;
      if (this.chosen === null) this.chosen = new Set(this.overlaid());
      if (ev.target.checked) this.chosen.add(rank); else this.chosen.delete(rank);
      this.draw();
    });
  }

  show(visible) {
    this.visible = visible;
    if (visible && this.stale) this.load();
    else if (visible) this.draw();
  }

  /** A sweep finished somewhere: fetch again now if shown, else when shown. */
  invalidate() {
    this.stale = true;
    if (this.visible) this.load();
  }

  async load() {
    this.stale = false;
    this.note.textContent = "loading…";
    try {
      const answer = await getJSON("api/iv");
      this.curves = answer.curves || {};
      const n = Object.keys(this.curves).length;
      this.note.textContent = n ? `${n} channel${n > 1 ? "s" : ""} with a sweep` : "no sweep finished yet";
    } catch (err) {
      this.note.textContent = `IV curves could not be read: ${err.message}`;
      this.stale = true;
    }
    this.render();
  }

  ranks() {
    return Object.keys(this.curves).map(Number).sort((a, b) => a - b);
  }

  overlaid() {
    if (this.chosen !== null) return [...this.chosen].filter((r) => this.curves[r]).sort((a, b) => a - b);
    const picked = this.selection.sorted().filter((r) => this.curves[r]);
    return (picked.length ? picked : this.ranks()).slice(0, DEFAULT_OVERLAY);
  }

  render() {
    const shown = new Set(this.overlaid());
    const frag = document.createDocumentFragment();
    for (const rank of this.ranks()) {
      const c = this.curves[rank];
      const p = c.params || {};
      const tr = document.createElement("tr");
      const box = document.createElement("input");
      box.type = "checkbox";
      box.dataset.rank = rank;
      box.checked = shown.has(rank);
      const cells = [box, c.name ?? `rank ${rank}`, micro(p.start), micro(p.stop), micro(p.step, 3),
        p.point_steps == null ? NONE : `${p.point_steps * 10} ms`, clockTime(c.finished)];
      cells.forEach((content, i) => {
        const td = document.createElement("td");
        if (i >= 2 && i <= 5) td.className = "num";
        td.append(content);
        tr.appendChild(td);
      });
      frag.appendChild(tr);
    }
    this.rows.replaceChildren(frag);
    this.draw();
  }

  draw() {
    if (!this.visible || typeof Plotly === "undefined") return;
    const rateTraces = [], monitorTraces = [];
    for (const rank of this.overlaid()) {
      const c = this.curves[rank];
      const x = (c.biasI || []).map((a) => a * 1e6);
      const seconds = ((c.params && c.params.point_steps) || 1) * 0.01;
      const rate = c.rate || (c.counts || []).map((n) => n / seconds);
      const name = `${c.name ?? rank}`;
      rateTraces.push({ type: "scatter", mode: "lines+markers", x, y: rate, name, marker: { size: 4 },
        legendgroup: name });
      monitorTraces.push({ type: "scatter", mode: "lines+markers", x, y: c.monitorV || [], name,
        marker: { size: 4 }, legendgroup: name });
    }
    const xaxis = { title: { text: "bias current (µA)" } };
    Plotly.react("iv-rate-plot", rateTraces, plotLayout({
      xaxis, yaxis: { title: { text: "counts/s" } }, uirevision: "iv",
    }), PLOT_CONFIG);
    Plotly.react("iv-monitor-plot", monitorTraces, plotLayout({
      xaxis, yaxis: { title: { text: "monitor voltage (V)" } }, uirevision: "iv",
    }), PLOT_CONFIG);
  }
}

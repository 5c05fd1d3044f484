// The Tune tab: a tune job's progress and, once done, its judgement of every
// unit as a table, as curves with the marks that matter and as the yield map;
// applying the proposed biases is a button of its own. Follows the newest tune
// job unless the operator picks an older one.
import { getJSON, postJSON } from "./api.js";
import { NONE, clockTime, fixed, micro } from "./format.js";
import { curvesOf, drawTunePlot } from "./tuneplot.js";
import { YieldMap, outcomeClass, outcomeOf } from "./yieldmap.js";

const DEFAULT_CURVES = 8;
const ACTIVE = new Set(["queued", "running"]);

function say(el, text, kind) {
  el.textContent = text;
  el.className = `result ${kind || ""}`;
}

function plural(n, word) {
  return `${n} ${word}${n === 1 ? "" : "s"}`;
}

export class TuneView {
  constructor(store, selection, jobs) {
    this.store = store;
    this.selection = selection;
    this.tunes = new Map();        // id -> tune job
    this.results = new Map();      // id -> {tune, curves} once loaded
    this.loading = new Map();      // id -> the promise of its result (read once at a time)
    this.shownId = null;
    this.follow = true;            // show the newest tune as it comes
    this.chosen = null;            // ranks whose curves are drawn; null: the default
    this.visible = false;
    this.applying = null;          // id of the tune being applied
    this.el = (id) => document.getElementById(id);
    this.rows = this.el("tune-rows");
    this.picker = this.el("tune-job");
    this.map = new YieldMap(this.el("tune-yield-map"), this.el("tune-yield-legend"), {
      onPick: (rank) => this.pick(rank), onFilter: () => this.filterRows(),
    });
    jobs.onUpdate((job) => { if (job.kind === "tune") this.jobChanged(job); });
    this.picker.addEventListener("change", () => {
      this.follow = this.picker.value === this.newestId();
      this.showJob(this.picker.value);
    });
    this.el("tune-apply").addEventListener("click", () => this.apply());
    this.rows.addEventListener("change", (ev) => {
      const rank = Number(ev.target.dataset.rank);
      if (!rank) return;
      if (this.chosen === null) this.chosen = new Set(this.drawn());
      if (ev.target.checked) this.chosen.add(rank); else this.chosen.delete(rank);
      this.drawPlot();
    });
    selection.onChange(() => { if (this.chosen === null) this.drawCurves(); });
    // The yield map's width is known only once it is built: the plot follows its box.
    const plot = this.el("tune-plot");
    new ResizeObserver(() => {
      if (this.visible && plot.data && typeof Plotly !== "undefined") Plotly.Plots.resize(plot);
    }).observe(plot);
    this.showJob(null);
  }

  show(visible) {
    this.visible = visible;
    if (visible) this.showJob(this.shownId, true);
  }

  newestId() {
    let newest = null;
    for (const job of this.tunes.values()) if (newest === null || Number(job.id) > Number(newest.id)) newest = job;
    return newest && String(newest.id);
  }

  jobChanged(job) {
    const id = String(job.id);
    const before = this.tunes.get(id);
    // The job list is read again every few seconds while any job runs: only news counts.
    if (before && JSON.stringify(before) === JSON.stringify(job)) return;
    this.tunes.set(id, job);
    if (!before || before.state !== job.state) this.fillPicker();
    if (this.follow && id === this.newestId() && id !== this.shownId) this.showJob(id);
    else if (id === this.shownId) this.showJob(id);
  }

  fillPicker() {
    const jobs = [...this.tunes.values()].sort((a, b) => Number(b.id) - Number(a.id));
    if (!jobs.length) {
      this.picker.replaceChildren(new Option("none yet", ""));
      return;
    }
    this.picker.replaceChildren(...jobs.map((j) => new Option(
      `#${j.id} · ${plural(j.units.length, "unit")} · ${j.state} ${clockTime(j.finished || j.created)}`,
      String(j.id))));
    if (this.shownId) this.picker.value = this.shownId;
  }

  /** Header, progress and, for a finished tune, its result (loaded once);
   *  the result part is redrawn when the job or its state changed, or `redraw`. */
  async showJob(id, redraw = false) {
    const changed = id !== this.shownId;
    this.shownId = id;
    if (changed) {
      this.chosen = null;
      this.map.filter = null;
      say(this.el("tune-apply-result"), "");
      if (id) this.picker.value = id;
    }
    const job = id ? this.tunes.get(id) : null;
    this.drawHeader(job);
    if (!this.visible) return;
    if (job && job.state === "done" && job.tune && !this.results.has(id)) {
      if (!this.loading.has(id)) this.loading.set(id, this.load(job).finally(() => this.loading.delete(id)));
      await this.loading.get(id);
      if (id !== this.shownId) return;      // the operator moved on meanwhile
    }
    if (changed || redraw || !ACTIVE.has(job?.state)) this.drawResult();
  }

  drawHeader(job) {
    const state = this.el("tune-state");
    const progress = this.el("tune-progress");
    const note = this.el("tune-note");
    if (!job) {
      state.textContent = "";
      progress.hidden = true;
      note.textContent = "no tune yet: select units and press Tune selected in the side panel";
      this.drawApply(null);
      return;
    }
    state.textContent = job.state;
    state.className = `tune-state state-${job.state}`;
    progress.hidden = !ACTIVE.has(job.state);
    progress.value = job.progress ?? 0;
    const result = this.results.get(String(job.id));
    if (job.error) note.textContent = job.error;
    else if (ACTIVE.has(job.state)) note.textContent = job.state === "queued" && job.queue_position
      ? `${job.queue_position} ahead in the queue` : job.message || "";
    else if (result) note.textContent = this.summary(result.tune);
    else note.textContent = job.message || "";
    note.title = note.textContent;           // a failed sweep names every unit: the note is cut short
    this.drawApply(job);
  }

  summary(tune) {
    const rows = Object.values(tune.units);
    const ok = rows.filter((r) => r.status === "ok").length;
    const parts = [`${ok} of ${plural(rows.length, "unit")} ok`, `policy ${tune.policy.name}`];
    if (tune.sweep_s != null) parts.push(`sweep ${tune.sweep_s.toFixed(1)} s`);
    if (tune.fit_cpu_s != null) parts.push(`fits ${tune.fit_cpu_s.toFixed(2)} s CPU`);
    if (tune.reset_failed && Object.keys(tune.reset_failed).length) {
      parts.push(`${Object.keys(tune.reset_failed).length} units not reset after the sweep`);
    }
    return parts.join(" · ");
  }

  drawApply(job) {
    const button = this.el("tune-apply");
    const result = job && this.results.get(String(job.id));
    if (!result) {
      button.disabled = true;
      button.textContent = "Apply proposed biases";
      return;
    }
    const applied = result.tune.applied;
    const ok = Object.values(result.tune.units).filter((r) => r.status === "ok" && r.proposed_bias != null).length;
    if (applied) {
      button.disabled = true;
      button.textContent = `${applied.state === "applying" ? "Applying" : "Applied"} at ${clockTime(applied.time)}`;
    } else {
      button.disabled = ok === 0 || this.applying === String(job.id);
      button.textContent = ok === 1 ? "Apply 1 proposed bias" : `Apply ${ok} proposed biases`;
    }
  }

  async load(job) {
    const id = String(job.id);
    try {
      const [tune, result] = await Promise.all([getJSON(`api/jobs/${id}/tune`), getJSON(`api/jobs/${id}/result`)]);
      this.results.set(id, { tune, curves: curvesOf(result) });
    } catch (err) {
      this.el("tune-note").textContent = `the result of tune #${id} could not be read: ${err.message}`;
      return;
    }
    if (id === this.shownId) this.drawHeader(job);
  }

  current() {
    return this.shownId ? this.results.get(this.shownId) : null;
  }

  /** Table, yield map and curves of the shown tune (empty while it runs). */
  drawResult() {
    if (!this.visible) return;
    const result = this.current();
    const units = result ? result.tune.units : {};
    this.map.build(this.store.units);
    this.drawMap();
    const frag = document.createDocumentFragment();
    const drawn = new Set(this.drawn());
    for (const rank of Object.keys(units).map(Number).sort((a, b) => a - b)) {
      const r = units[rank];
      const tr = document.createElement("tr");
      tr.dataset.rank = rank;
      tr.dataset.status = r.status;
      const box = document.createElement("input");
      box.type = "checkbox";
      box.dataset.rank = rank;
      box.checked = drawn.has(rank);
      box.title = "draw this unit's curve";
      const cells = [box, String(rank), r.name ?? String(rank), r.status, micro(r.switching_current),
        micro(r.plateau_onset), fixed(r.plateau_rate, 0), micro(r.proposed_bias), r.reason || NONE];
      cells.forEach((content, i) => {
        const td = document.createElement("td");
        if (i === 0) td.className = "sel";
        else if (i === 3) td.className = `st ${outcomeClass(r.status)}`;
        else if (i === 8) td.title = r.reason || "";
        else if (i !== 2) td.className = "num";
        td.append(content);
        tr.appendChild(td);
      });
      frag.appendChild(tr);
    }
    if (!frag.children.length) frag.appendChild(this.emptyRow());
    this.rows.replaceChildren(frag);
    this.filterRows();
    this.drawPlot();
  }

  emptyRow() {
    const job = this.shownId ? this.tunes.get(this.shownId) : null;
    const tr = document.createElement("tr");
    const td = document.createElement("td");
    td.colSpan = 9;
    td.className = "muted";
    td.textContent = !job ? "no tune yet"
      : ACTIVE.has(job.state) ? `tune #${job.id} is ${job.state}: its result appears here when it is done`
        : job.state === "done" ? "reading the result…" : `tune #${job.id} ${job.state}: no result`;
    tr.appendChild(td);
    return tr;
  }

  /** The yield map follows the live status (a unit that latched since). */
  drawMap() {
    const result = this.current();
    const units = result ? result.tune.units : null;
    this.map.draw(this.store.units, units, (rank) => {
      const bias = units && units[rank] ? units[rank].proposed_bias : null;
      return bias == null ? "" : `, proposed ${micro(bias)} µA`;
    });
  }

  /** A summary came: only the map can change. */
  update() {
    if (this.visible) this.drawMap();
  }

  filterRows() {
    const word = this.map.filter;
    const result = this.current();
    if (!result) return this.drawMap();
    for (const tr of this.rows.children) {
      const rank = Number(tr.dataset.rank);
      if (!rank) continue;
      const outcome = outcomeOf(result.tune.units[rank], this.store.units.get(rank));
      tr.hidden = word !== null && outcome !== word;
    }
    this.drawMap();
  }

  /** Ranks whose curves are drawn: those ticked, else a few of the selected
   *  tuned units (of all tuned units when none is selected), ok ones first. */
  drawn() {
    const result = this.current();
    if (!result) return [];
    const units = result.tune.units;
    const tuned = (r) => units[r] && result.curves[r];
    if (this.chosen !== null) return [...this.chosen].filter(tuned).sort((a, b) => a - b);
    const picked = this.selection.sorted().filter(tuned);
    const pool = picked.length ? picked : Object.keys(units).map(Number).filter(tuned).sort((a, b) => a - b);
    const ok = pool.filter((r) => units[r].status === "ok");
    return [...ok, ...pool.filter((r) => units[r].status !== "ok")].slice(0, DEFAULT_CURVES)
      .sort((a, b) => a - b);
  }

  /** The drawn curves changed (ticks, selection): the boxes and the plot follow. */
  drawCurves() {
    const drawn = new Set(this.drawn());
    for (const box of this.rows.querySelectorAll("input[data-rank]")) box.checked = drawn.has(Number(box.dataset.rank));
    this.drawPlot();
  }

  drawPlot() {
    if (!this.visible || typeof Plotly === "undefined") return;
    const result = this.current();
    const nameOf = (rank) => this.store.units.get(rank)?.name ?? `rank ${rank}`;
    drawTunePlot("tune-plot", result ? result.curves : {}, result ? result.tune.units : {},
      this.drawn(), nameOf);
  }

  /** A square of the yield map: draw that unit's curve and show its row. */
  pick(rank) {
    const result = this.current();
    if (!result || !result.tune.units[rank]) return;
    if (this.chosen === null) this.chosen = new Set(this.drawn());
    this.chosen.add(rank);
    const tr = this.rows.querySelector(`tr[data-rank="${rank}"]`);
    if (tr) {
      if (tr.hidden) { this.map.filter = null; this.filterRows(); }
      tr.scrollIntoView({ block: "nearest" });
      tr.classList.add("flash");
      setTimeout(() => tr.classList.remove("flash"), 1500);
    }
    this.drawCurves();
  }

  async apply() {
    const id = this.shownId;
    const result = this.current();
    if (!id || !result) return;
    const out = this.el("tune-apply-result");
    this.applying = id;
    this.drawApply(this.tunes.get(id));
    say(out, "setting the proposed biases and waiting for every unit to echo them…", "busy");
    try {
      const answer = await postJSON(`api/jobs/${id}/apply`);
      const set = Object.keys(answer.applied || {}).length;
      const left = Object.keys(answer.unchanged || {}).length;
      const kept = answer.stored ? "calibrations stored" : `calibrations NOT stored: ${answer.archive_error}`;
      say(out, `${plural(set, "unit")} set and verified, ${left} left unchanged; ${kept}`,
        answer.stored ? "ok" : "error");
    } catch (err) {
      say(out, err.message, "error");
    }
    this.applying = null;
    try {
      result.tune = await getJSON(`api/jobs/${id}/tune`);
    } catch { /* the message above says what happened */ }
    if (id === this.shownId) this.drawHeader(this.tunes.get(id));
  }
}

// Jobs (IV sweeps, acquisitions): state, progress, cancel and the download of
// the result file. Fed by the job events of the live stream and read in full
// after every (re)connection.
import { apiUrl, getJSON, postJSON } from "./api.js";
import { clockTime, rankRanges } from "./format.js";

const SHOWN = 12;
const POLL_MS = 2000;   // while a job runs, in case a progress event was missed
const ACTIVE = new Set(["queued", "running"]);

export class JobsView {
  constructor(onFinished, nameOf) {
    this.nameOf = nameOf;         // rank -> "MCU.CU"
    this.listeners = [];          // called with every job as it changes
    this.jobs = new Map();        // id -> job
    this.items = new Map();       // id -> {li, key}
    this.list = document.getElementById("job-list");
    this.onFinished = onFinished; // called with a job that has just ended
    setInterval(() => { if (this.active()) this.load(); }, POLL_MS);
    this.list.addEventListener("click", (ev) => {
      const id = ev.target.dataset.cancel;
      if (id) this.cancel(id, ev.target);
    });
  }

  active() {
    for (const job of this.jobs.values()) if (ACTIVE.has(job.state)) return true;
    return false;
  }

  async load() {
    try {
      const answer = await getJSON("api/jobs");
      for (const job of answer.jobs || []) this.update(job, false);
      this.render();
    } catch { /* the live stream reports the connection problem */ }
  }

  onUpdate(fn) { this.listeners.push(fn); }

  update(job, render = true) {
    const id = String(job.id);
    const before = this.jobs.get(id);
    this.jobs.set(id, job);
    for (const fn of this.listeners) fn(job);
    if (before && ACTIVE.has(before.state) && !ACTIVE.has(job.state)) this.onFinished(job);
    if (render) this.render();
  }

  // A queue moved on: one event with its jobs in order (0 is the running one).
  queue(ids) {
    ids.forEach((id, position) => {
      const job = this.jobs.get(String(id));
      if (job) this.jobs.set(String(id), { ...job, queue_position: position });
    });
    this.render();
  }

  async cancel(id, button) {
    button.disabled = true;
    try {
      this.update(await postJSON(`api/jobs/${encodeURIComponent(id)}/cancel`));
    } catch (err) {
      button.disabled = false;
      button.title = err.message;
      const li = this.items.get(id)?.li;
      if (li) li.querySelector(".msg").textContent = `cancel failed: ${err.message}`;
    }
  }

  render() {
    const jobs = [...this.jobs.values()].sort((a, b) => (b.created ?? 0) - (a.created ?? 0) || Number(b.id) - Number(a.id))
      .slice(0, SHOWN);
    if (!jobs.length) {
      this.list.innerHTML = '<li class="muted">none yet</li>';
      this.items.clear();
      return;
    }
    const items = new Map();
    jobs.forEach((job, i) => {
      const id = String(job.id);
      const item = this.items.get(id) || this.item(job);
      const key = JSON.stringify(job);
      if (item.key !== key) { this.fill(item, job); item.key = key; }
      items.set(id, item);
      // Items stay in place while they update, so a click on Stop is not lost.
      if (this.list.children[i] !== item.li) this.list.insertBefore(item.li, this.list.children[i] || null);
    });
    for (const [id, item] of this.items) if (!items.has(id)) item.li.remove();
    this.list.querySelectorAll("li:not([data-job])").forEach((li) => li.remove());
    this.items = items;
  }

  item(job) {
    const li = document.createElement("li");
    li.dataset.job = job.id;
    li.innerHTML = `<div class="head"><b></b><span class="state"></span>
      <span class="spacer"></span><span class="muted small when"></span></div>
      <div class="muted small units"></div><progress max="1"></progress>
      <div class="small msg"></div><div class="actions"></div>`;
    const what = job.kind === "iv" ? "IV sweep" : job.kind === "acquire" ? "acquisition" : job.kind;
    li.querySelector("b").textContent = `#${job.id} ${what}`;
    const units = !Array.isArray(job.units) ? ""
      : job.units.length <= 6 ? job.units.map(this.nameOf).join(", ") : `ranks ${rankRanges(job.units)}`;
    li.querySelector(".units").textContent = units;
    return { li, key: null, actionsFor: null };
  }

  fill(item, job) {
    const li = item.li;
    li.dataset.state = job.state;
    const state = li.querySelector(".state");
    state.className = `state state-${job.state}`;
    state.textContent = job.state === "queued" && job.queue_position ? `queued, ${job.queue_position} ahead` : job.state;
    li.querySelector(".when").textContent = clockTime(job.started || job.created);
    const progress = li.querySelector("progress");
    progress.value = job.state === "done" ? 1 : job.progress ?? 0;
    progress.title = `${Math.round(progress.value * 100)} %`;
    const msg = li.querySelector(".msg");
    msg.textContent = job.error || job.message || "";
    msg.classList.toggle("error", Boolean(job.error));
    const actionsFor = `${job.state} ${job.file}`;
    if (item.actionsFor === actionsFor) return;
    item.actionsFor = actionsFor;
    const actions = li.querySelector(".actions");
    actions.replaceChildren();
    if (ACTIVE.has(job.state)) {
      const cancel = document.createElement("button");
      cancel.dataset.cancel = job.id;
      cancel.textContent = job.kind === "acquire" ? "Stop" : "Cancel";
      actions.appendChild(cancel);
    }
    if (!ACTIVE.has(job.state) && job.file) {      // a stopped acquisition keeps what it recorded
      for (const format of ["h5", "csv"]) {
        const a = document.createElement("a");
        a.href = apiUrl(`api/jobs/${encodeURIComponent(job.id)}/file`, { format });
        a.textContent = `download ${format === "h5" ? "HDF5" : "CSV"}`;
        a.setAttribute("download", "");
        actions.appendChild(a);
      }
    }
  }
}

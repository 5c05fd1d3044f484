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

  update(job, render = true) {
    const id = String(job.id);
    const before = this.jobs.get(id);
    this.jobs.set(id, job);
    if (before && ACTIVE.has(before.state) && !ACTIVE.has(job.state)) this.onFinished(job);
    if (render) this.render();
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
    const frag = document.createDocumentFragment();
    const items = new Map();
    for (const job of jobs) {
      const id = String(job.id);
      const key = JSON.stringify(job);
      let item = this.items.get(id);
      if (!item || item.key !== key) item = { li: this.item(job), key };
      items.set(id, item);
      frag.appendChild(item.li);
    }
    this.items = items;
    this.list.replaceChildren(frag);
  }

  item(job) {
    const li = document.createElement("li");
    li.dataset.job = job.id;
    li.dataset.state = job.state;
    const what = job.kind === "iv" ? "IV sweep" : job.kind === "acquire" ? "acquisition" : job.kind;
    const units = !Array.isArray(job.units) ? ""
      : job.units.length <= 6 ? job.units.map(this.nameOf).join(", ") : `ranks ${rankRanges(job.units)}`;
    const state = job.state === "queued" && job.queue_position ? `queued, ${job.queue_position} ahead` : job.state;
    li.innerHTML = `<div class="head"><b></b><span class="state state-${job.state}"></span>
      <span class="spacer"></span><span class="muted small when"></span></div>
      <div class="muted small units"></div><progress max="1"></progress>
      <div class="small msg"></div><div class="actions"></div>`;
    li.querySelector("b").textContent = `#${job.id} ${what}`;
    li.querySelector(".state").textContent = state;
    li.querySelector(".when").textContent = clockTime(job.started || job.created);
    li.querySelector(".units").textContent = units;
    const progress = li.querySelector("progress");
    progress.value = job.state === "done" ? 1 : job.progress ?? 0;
    progress.title = `${Math.round(progress.value * 100)} %`;
    li.querySelector(".msg").textContent = job.error || job.message || "";
    if (job.error) li.querySelector(".msg").classList.add("result", "error");
    const actions = li.querySelector(".actions");
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
    return li;
  }
}

// Wires the views to the live stream and the API.
import { getJSON } from "./api.js";
import { AlarmBanner } from "./alarms.js";
import { BoardsView } from "./boards.js";
import { Controls } from "./controls.js";
import { duration } from "./format.js";
import { IvView } from "./iv.js";
import { JobsView } from "./jobs.js";
import { LiveConnection } from "./live.js";
import { showNodes } from "./nodes.js";
import { Overview } from "./overview.js";
import { RatePlot } from "./rates.js";
import { Selection } from "./selection.js";
import { Store } from "./store.js";
import { TuneView } from "./tune.js";

const LIVE_RATE_HZ = 2;

const store = new Store();
const selection = new Selection();
const overview = new Overview(store, selection);
const rates = new RatePlot(store, selection);
const iv = new IvView(store, selection);
const boards = new BoardsView(store);
const alarms = new AlarmBanner(store);
const jobs = new JobsView(
  (job) => { if (job.kind === "iv" || job.kind === "tune") iv.invalidate(); },
  (rank) => store.units.get(rank)?.name ?? `rank ${rank}`,
);
const controls = new Controls(store, selection, jobs);
const tune = new TuneView(store, selection, jobs);
const views = { overview, rates, iv, tune, boards };

function showView(name) {
  document.querySelectorAll("#tabs button").forEach((b) => b.classList.toggle("active", b.dataset.view === name));
  for (const [key, view] of Object.entries(views)) {
    document.getElementById(`view-${key}`).hidden = key !== name;
    if (view.show) view.show(key === name);
  }
  history.replaceState(null, "", `${location.search}#${name}`);
}
document.getElementById("tabs").addEventListener("click", (ev) => {
  if (ev.target.dataset.view) showView(ev.target.dataset.view);
});

function showHeader() {
  const uptime = store.currentUptime();
  document.getElementById("uptime").textContent = uptime === null ? "" : `up ${duration(uptime)}`;
  const t = store.totals || {};
  const r = t.rates || {};
  const parts = [];
  if (r.records_in !== undefined) parts.push(`${Math.round(r.records_in)} records/s`);
  for (const key of ["dropped", "late", "malformed", "errors"]) if (t[key]) parts.push(`${key} ${t[key]}`);
  if (t.last_error) parts.push(`last error: ${t.last_error}`);
  document.getElementById("totals").textContent = parts.join(" · ");
}

function showConnection(state, detail) {
  const el = document.getElementById("conn");
  el.className = `conn ${state}`;
  el.dataset.state = state;
  el.textContent = detail ? `${state}, ${detail}` : state;
  el.title = "";
  if (state === "disconnected") explainRefusal(el);
}

// A browser does not tell why a WebSocket was refused; a plain request does
// (a missing or wrong token off loopback).
async function explainRefusal(el) {
  try {
    await getJSON("api/status");
  } catch (err) {
    if (/token/i.test(err.message) && el.dataset.state !== "connected") {
      el.textContent = "refused: open this page with ?token=TOKEN";
      el.title = err.message;
    }
  }
}

async function loadFeatures() {
  try { return await getJSON("dashboard.json"); } catch { return {}; }
}

const live = new LiveConnection({
  onState: showConnection,
  async onHello(snapshot) {
    store.reset(snapshot);
    // at a site jobs and limits live at each node
    const atSite = store.atSite;
    document.body.classList.toggle("site", atSite);
    showNodes(snapshot.nodes);
    selection.keepOnly(new Set(store.units.keys()));
    overview.rebuild();
    boards.draw();
    rates.draw(true);
    alarms.draw();
    showHeader();
    if (!atSite) jobs.load();
    controls.loadLimits(!atSite);
    iv.invalidate();
    tune.drawResult();
    const features = await loadFeatures();
    alarms.use(features);
    rates.use(features);
  },
  onSummary(msg) {
    overview.update(store.apply(msg));
    showNodes(msg.nodes);
    tune.update();
    rates.draw();
    boards.draw();
    alarms.draw();
    showHeader();
  },
  onEvent(event) {
    if (event.kind === "job" && event.job) jobs.update(event.job);
    else if (event.kind === "queue" && Array.isArray(event.jobs)) jobs.queue(event.jobs);
    else if (event.kind === "alarm" && alarms.fromService) alarms.load();
  },
}, LIVE_RATE_HZ);

// Ages keep growing while nothing arrives: redraw them (and the moving time axis) each second.
setInterval(() => {
  overview.tick();
  showHeader();
  boards.draw();
  rates.draw();
  alarms.draw();
}, 1000);

showView(views[location.hash.slice(1)] ? location.hash.slice(1) : "overview");
live.start();

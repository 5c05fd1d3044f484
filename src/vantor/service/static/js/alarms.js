// The alarm banner. Where the service keeps alarms (/api/alarms) the banner
// shows those, with acknowledge; otherwise it shows what the page can see for
// itself: silent units and boards whose PLL is unlocked.
import { getJSON, postJSON } from "./api.js";
import { clockTime } from "./format.js";

const LISTED = 24;
const POLL_MS = 5000;

function alarmText(a) {
  if (a.message || a.text) return a.message || a.text;
  const what = a.condition || a.kind || "alarm";
  const where = a.subject || a.name || "";
  return `${what} ${where}`.trim();
}

export class AlarmBanner {
  constructor(store) {
    this.store = store;
    this.fromService = false;      // true once /api/alarms is known to exist
    this.serviceAlarms = [];
    this.banner = document.getElementById("alarm-banner");
    this.count = document.getElementById("alarm-count");
    this.list = document.getElementById("alarm-list");
    this.lastKey = "";
    this.pollTimer = null;
    this.list.addEventListener("click", (ev) => {
      const id = ev.target.dataset.ack;
      if (id) this.acknowledge(id, ev.target);
    });
  }

  /** Called after each connection with the service's optional features. */
  use(features) {
    this.fromService = Boolean(features && features.alarms);
    clearInterval(this.pollTimer);
    if (this.fromService) {
      this.load();
      this.pollTimer = setInterval(() => this.load(), POLL_MS);
    }
    this.draw();
  }

  async load() {
    try {
      const answer = await getJSON("api/alarms");
      this.serviceAlarms = Array.isArray(answer) ? answer : answer.alarms || [];
      this.draw();
    } catch { /* the connection indicator tells */ }
  }

  async acknowledge(id, button) {
    button.disabled = true;
    try {
      await postJSON(`api/alarms/${encodeURIComponent(id)}/ack`, { comment: "acknowledged on the dashboard" });
      await this.load();
    } catch (err) {
      button.disabled = false;
      button.title = err.message;
    }
  }

  /** Shown alarms as [text, ack id or null]. */
  current() {
    if (this.fromService) {
      // The service keeps an alarm shown until it is both cleared and acknowledged.
      return this.serviceAlarms
        .filter((a) => a.shown !== false)
        .map((a) => {
          const acked = a.acknowledged !== null && a.acknowledged !== undefined && a.acknowledged !== false;
          const when = a.raised || a.time;
          const text = `${alarmText(a)}${a.state ? ` (${a.state})` : ""}${when ? ` since ${clockTime(when)}` : ""}`;
          return [text, acked ? null : a.id];
        });
    }
    const shown = [];
    for (const b of this.store.boards.values()) {
      if (b.pll === false) shown.push([`MCU ${b.mcuId}: PLL unlocked`, null]);
    }
    for (const u of this.store.units.values()) {
      if (u.status === "silent") shown.push([`${u.name} (rank ${u.rank}) silent`, null]);
    }
    return shown;
  }

  draw() {
    const alarms = this.current();
    const key = JSON.stringify(alarms);
    if (key === this.lastKey) return;
    this.lastKey = key;
    this.banner.hidden = alarms.length === 0;
    this.count.textContent = `${alarms.length} alarm${alarms.length === 1 ? "" : "s"}`;
    const frag = document.createDocumentFragment();
    for (const [text, ackId] of alarms.slice(0, LISTED)) {
      const li = document.createElement("li");
      li.textContent = text;
      if (ackId !== null && ackId !== undefined) {
        const b = document.createElement("button");
        b.dataset.ack = ackId;
        b.textContent = "acknowledge";
        li.appendChild(b);
      }
      frag.appendChild(li);
    }
    if (alarms.length > LISTED) {
      const li = document.createElement("li");
      li.textContent = `and ${alarms.length - LISTED} more`;
      frag.appendChild(li);
    }
    this.list.replaceChildren(frag);
  }
}

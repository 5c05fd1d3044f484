// The alarm banner. Where the service keeps alarms (/api/alarms) the banner
// shows those, active ones first, with acknowledge; otherwise it shows what the
// page can see for itself: silent units and boards whose PLL is unlocked.
import { getJSON, postJSON } from "./api.js";
import { clockTime } from "./format.js";

const LISTED = 24;
const POLL_MS = 5000;
const ACK_PARALLEL = 4;
const STATE_ORDER = { active: 0, acknowledged: 1, cleared: 2 };

function alarmText(a) {
  if (a.message || a.text) return a.message || a.text;
  return `${a.condition || a.kind || "alarm"} ${a.subject || a.name || ""}`.trim();
}

function isAcked(a) {
  return a.acknowledged !== null && a.acknowledged !== undefined && a.acknowledged !== false;
}

export class AlarmBanner {
  constructor(store) {
    this.store = store;
    this.fromService = false;      // true once /api/alarms is known to exist
    this.serviceAlarms = [];       // [text, ack id or null, state], built once per load
    this.banner = document.getElementById("alarm-banner");
    this.count = document.getElementById("alarm-count");
    this.list = document.getElementById("alarm-list");
    this.ackAll = document.getElementById("alarm-ack-all");
    this.lastKey = "";
    this.pollTimer = null;
    this.reading = null;           // the read of /api/alarms on its way, if any
    this.readAgain = false;
    this.list.addEventListener("click", (ev) => {
      const id = ev.target.dataset.ack;
      if (id) this.acknowledge([id], ev.target);
    });
    this.ackAll.addEventListener("click", () => {
      const ids = this.serviceAlarms.map(([, id]) => id).filter((id) => id !== null);
      this.acknowledge(ids, this.ackAll);
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

  /** Reads the alarms again; calls while a read is on its way make one more
   *  read after it (a thousand units latching at once send a thousand events). */
  async load() {
    if (this.reading) {
      this.readAgain = true;
      return this.reading;
    }
    this.reading = this.read();
    try {
      await this.reading;
    } finally {
      this.reading = null;
    }
    if (this.readAgain) {
      this.readAgain = false;
      await this.load();
    }
  }

  async read() {
    let answer;
    try {
      answer = await getJSON("api/alarms");
    } catch { return; /* the connection indicator tells */ }
    const alarms = (Array.isArray(answer) ? answer : answer.alarms || []).filter((a) => a.shown !== false);
    alarms.sort((a, b) => (STATE_ORDER[a.state] ?? 3) - (STATE_ORDER[b.state] ?? 3) || (b.raised ?? 0) - (a.raised ?? 0));
    // The service keeps an alarm shown until it is both cleared and acknowledged.
    this.serviceAlarms = alarms.map((a) => {
      const when = a.raised || a.time;
      const text = `${alarmText(a)}${a.state ? ` (${a.state})` : ""}${when ? ` since ${clockTime(when)}` : ""}`;
      return [text, isAcked(a) ? null : String(a.id), a.state || "active"];
    });
    this.draw();
  }

  async acknowledge(ids, button) {
    button.disabled = true;
    const queue = [...ids];
    const failures = [];
    const worker = async () => {
      while (queue.length) {
        const id = queue.shift();
        try {
          await postJSON(`api/alarms/${encodeURIComponent(id)}/ack`, { comment: "acknowledged on the dashboard" });
        } catch (err) { failures.push(err.message); }
      }
    };
    await Promise.all(Array.from({ length: ACK_PARALLEL }, worker));
    button.disabled = false;
    button.title = failures.length ? `${failures.length} not acknowledged: ${failures[0]}` : "";
    await this.load();
  }

  /** Shown alarms as [text, ack id or null, state]. */
  current() {
    if (this.fromService) return this.serviceAlarms;
    const shown = [];
    for (const b of this.store.boards.values()) {
      if (b.pll === false) shown.push([`MCU ${b.mcuId}: PLL unlocked`, null, "active"]);
    }
    for (const u of this.store.units.values()) {
      if (u.status === "silent") shown.push([`${u.name} (rank ${u.rank}) silent`, null, "active"]);
    }
    return shown;
  }

  draw() {
    const alarms = this.current();
    const key = alarms === this.serviceAlarms ? alarms : JSON.stringify(alarms);
    if (key === this.lastKey) return;
    this.lastKey = key;
    this.banner.hidden = alarms.length === 0;
    document.title = alarms.length ? `vantor (${alarms.length} alarm${alarms.length === 1 ? "" : "s"})` : "vantor";
    const byState = {};
    for (const [, , state] of alarms) byState[state] = (byState[state] || 0) + 1;
    const parts = Object.entries(byState).map(([state, n]) => `${n} ${state}`);
    this.count.textContent = `${alarms.length} alarm${alarms.length === 1 ? "" : "s"}` +
      (this.fromService && parts.length ? ` (${parts.join(", ")})` : "");
    const unacked = alarms.filter(([, id]) => id !== null).length;
    this.ackAll.hidden = unacked < 2;
    this.ackAll.textContent = `acknowledge all ${unacked}`;
    const frag = document.createDocumentFragment();
    for (const [text, ackId, state] of alarms.slice(0, LISTED)) {
      const li = document.createElement("li");
      li.textContent = text;
      li.dataset.state = state;
      if (ackId !== null) {
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

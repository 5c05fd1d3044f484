// The live stream: one WebSocket of per-unit summaries at a fixed rate, opened
// again by itself (with growing pauses up to 5 s) whenever the service goes away.
import { liveUrl } from "./api.js";

const MIN_PAUSE_MS = 500;
const MAX_PAUSE_MS = 5000;

export class LiveConnection {
  /** handlers: onHello(snapshot), onSummary(msg), onEvent(event), onState(state, detail) */
  constructor(handlers, rate = 2) {
    this.handlers = handlers;
    this.rate = rate;
    this.pause = MIN_PAUSE_MS;
    this.socket = null;
    this.retryTimer = null;
  }

  start() {
    this.open();
  }

  open() {
    this.retryTimer = null;
    this.handlers.onState("connecting");
    const socket = new WebSocket(liveUrl({ rate: this.rate, mode: "summary" }));
    this.socket = socket;
    socket.onmessage = (ev) => this.receive(ev.data);
    socket.onclose = () => this.lost(socket);
    socket.onerror = () => socket.close();
  }

  receive(text) {
    let msg;
    try { msg = JSON.parse(text); } catch { return; }
    if (msg.type === "hello") {
      this.pause = MIN_PAUSE_MS;
      this.handlers.onState("connected");
      this.handlers.onHello(msg.snapshot);
    } else if (msg.type === "summary") {
      this.handlers.onSummary(msg);
    } else if (msg.type === "event" && msg.event) {
      this.handlers.onEvent(msg.event);
    } else if (msg.type === "events" && Array.isArray(msg.events)) {
      for (const event of msg.events) this.handlers.onEvent(event);
    }
  }

  lost(socket) {
    if (socket !== this.socket || this.retryTimer !== null) return;
    const seconds = (this.pause / 1000).toFixed(1);
    this.handlers.onState("disconnected", `reconnecting in ${seconds} s`);
    this.retryTimer = setTimeout(() => this.open(), this.pause);
    this.pause = Math.min(this.pause * 2, MAX_PAUSE_MS);
  }
}

// The side panel's controls: the selection as text, settings changes, IV
// sweeps, tunes and acquisitions. The service validates everything; a refusal is shown
// in the service's own words under the control that caused it.
import { getJSON, postJSON } from "./api.js";
import { parseUnitList, unitRanges } from "./format.js";

const CURRENT_FIELDS = new Set(["biasI", "biasIStart", "biasIStop", "biasIStep"]);
const SETTINGS_TIMEOUT_S = 5;

function say(el, text, kind) {
  el.textContent = text;
  el.className = `result ${kind || ""}`;
}

/** A number typed by the operator; currents are typed in µA and sent in A. */
function readNumber(text, field, integer) {
  const value = Number(text.trim());
  if (text.trim() === "" || !Number.isFinite(value)) throw new Error(`${field}: type a number`);
  if (integer && !Number.isInteger(value)) throw new Error(`${field}: type a whole number`);
  return value;
}

export class Controls {
  constructor(store, selection, jobs) {
    this.store = store;
    this.selection = selection;
    this.jobs = jobs;
    this.limits = {};
    this.el = (id) => document.getElementById(id);
    this.bindSelection();
    this.bindSettings();
    this.bindJobs();
    selection.onChange(() => this.showSelection());
    this.showSelection();
  }

  bindSelection() {
    const text = this.el("sel-text");
    const apply = () => {
      try {
        this.selection.set(parseUnitList(text.value, this.store));
      } catch (err) {
        say(this.el("sel-count"), err.message, "error");
      }
    };
    text.addEventListener("change", apply);
    text.addEventListener("keydown", (ev) => { if (ev.key === "Enter") apply(); });
    this.el("sel-clear").addEventListener("click", () => this.selection.set([]));
  }

  showSelection() {
    const text = this.el("sel-text");
    if (document.activeElement !== text) text.value = unitRanges(this.selection.ranks, this.store);
    const n = this.selection.size;
    say(this.el("sel-count"), n ? `${n} unit${n > 1 ? "s" : ""} selected` : "none selected", "muted");
    for (const id of ["set-apply", "iv-start-btn", "tune-start-btn", "acq-start"]) this.el(id).disabled = n === 0;
  }

  /** Ranks to act on, or a message in `out` when none are selected. */
  targets(out) {
    const ranks = this.selection.sorted();
    if (!ranks.length) say(out, "select units first (click rows in the overview)", "error");
    return ranks;
  }

  /** At a site (`ask` false) each node keeps its own limits and checks them:
   *  the fields are the units' own settings, shown without limits. */
  async loadLimits(ask = true) {
    try {
      this.limits = ask ? await getJSON("api/settings/limits") : {};
    } catch {
      this.limits = {};
    }
    const select = this.el("set-field");
    const current = select.value || "biasI";
    // Only a unit's own settings can be changed per unit (the limits also
    // cover settings of the whole system, such as the window length).
    const anyUnit = this.store.units.values().next().value;
    const unitFields = anyUnit && anyUnit.config ? new Set(Object.keys(anyUnit.config)) : null;
    const named = Object.keys(this.limits).length ? Object.keys(this.limits) : [...(unitFields || [])];
    const fields = named.filter((f) => !unitFields || unitFields.has(f));
    for (const fixed of ["mcuId", "cuId"]) if (fields.includes(fixed)) fields.splice(fields.indexOf(fixed), 1);
    if (!fields.includes("biasI")) fields.unshift("biasI");
    fields.sort((a, b) => (a === "biasI" ? -1 : b === "biasI" ? 1 : a.localeCompare(b)));
    select.replaceChildren(...fields.map((f) => new Option(f, f)));
    select.value = fields.includes(current) ? current : "biasI";
    this.showField();
  }

  showField() {
    const field = this.el("set-field").value;
    const lim = this.limits[field];
    const current = CURRENT_FIELDS.has(field);
    this.el("set-unit").textContent = current ? "µA" : (lim && lim.unit) || "";
    const scale = current ? 1e6 : 1;
    this.el("set-limits").textContent = lim && lim.min !== undefined
      ? `from ${+(lim.min * scale).toPrecision(6)} to ${+(lim.max * scale).toPrecision(6)}`
      : "";
    const ranks = this.selection.sorted();
    const first = ranks.length ? this.store.units.get(ranks[0]) : null;
    const known = first && first.config && first.config[field] !== undefined;
    this.el("set-value").placeholder = known ? `now ${+(first.config[field] * scale).toPrecision(6)}` : "";
  }

  bindSettings() {
    this.el("set-field").addEventListener("change", () => this.showField());
    this.selection.onChange(() => this.showField());
    this.el("settings-form").addEventListener("submit", async (ev) => {
      ev.preventDefault();
      const out = this.el("set-result");
      const ranks = this.targets(out);
      if (!ranks.length) return;
      const field = this.el("set-field").value;
      const lim = this.limits[field] || {};
      let value;
      try {
        value = readNumber(this.el("set-value").value, field, /int|u8|u32/i.test(lim.type || ""));
      } catch (err) { return say(out, err.message, "error"); }
      if (CURRENT_FIELDS.has(field)) value *= 1e-6;
      const button = this.el("set-apply");
      button.disabled = true;
      say(out, `waiting for ${ranks.length} unit${ranks.length > 1 ? "s" : ""} to take ${field}…`, "busy");
      try {
        const answer = await postJSON("api/settings",
          { units: ranks, settings: { [field]: value }, timeout: SETTINGS_TIMEOUT_S });
        const n = (answer.units || ranks).length;
        say(out, `${field} set on ${n} unit${n > 1 ? "s" : ""}${answer.verified ? ", verified" : ""}`, "ok");
      } catch (err) {
        say(out, err.message, "error");
      } finally {
        button.disabled = this.selection.size === 0;
      }
    });
  }

  /** Typed [input id, request key, "µA" | "number" | "whole"] fields into `body`; empty ones are left out. */
  readFields(body, fields) {
    for (const [id, key, kind] of fields) {
      const text = this.el(id).value;
      if (text.trim() === "") continue;     // the service's default (the configured sweep)
      const value = readNumber(text, key, kind === "whole");
      body[key] = kind === "µA" ? value * 1e-6 : value;
    }
    return body;
  }

  sweepFields(prefix) {
    return [[`${prefix}-start`, "start", "µA"], [`${prefix}-stop`, "stop", "µA"],
      [`${prefix}-step`, "step", "µA"], [`${prefix}-point`, "point_steps", "whole"]];
  }

  bindJobs() {
    this.el("iv-form").addEventListener("submit", async (ev) => {
      ev.preventDefault();
      const out = this.el("iv-result");
      const ranks = this.targets(out);
      if (!ranks.length) return;
      let body;
      try { body = this.readFields({ units: ranks }, this.sweepFields("iv")); } catch (err) {
        return say(out, err.message, "error");
      }
      await this.submitJob("api/jobs/iv", body, out, "IV sweep");
    });
    this.bindTune();
    this.el("acq-form").addEventListener("submit", async (ev) => {
      ev.preventDefault();
      const out = this.el("acq-result");
      const ranks = this.targets(out);
      if (!ranks.length) return;
      let seconds;
      try { seconds = readNumber(this.el("acq-seconds").value, "seconds", false); } catch (err) {
        return say(out, err.message, "error");
      }
      await this.submitJob("api/jobs/acquire", { units: ranks, seconds }, out, "acquisition");
    });
  }

  bindTune() {
    const policy = this.el("tune-policy");
    const showPolicy = () => {
      const plateau = policy.value === "plateau";
      this.el("tune-fraction-field").hidden = plateau;
      this.el("tune-margin-field").hidden = !plateau;
      this.el("tune-policy-note").textContent = plateau
        ? "bias = plateau onset + margin, at most one step below switching"
        : "bias = fraction × switching current";
    };
    policy.addEventListener("change", showPolicy);
    showPolicy();
    this.el("tune-form").addEventListener("submit", async (ev) => {
      ev.preventDefault();
      const out = this.el("tune-result");
      const ranks = this.targets(out);
      if (!ranks.length) return;
      const plateau = policy.value === "plateau";
      let body;
      try {
        body = this.readFields({ units: ranks, policy: policy.value }, [...this.sweepFields("tune"),
          plateau ? ["tune-margin", "margin", "µA"] : ["tune-fraction", "fraction", "number"],
          ["tune-onset", "onset_fraction", "number"]]);
      } catch (err) { return say(out, err.message, "error"); }
      await this.submitJob("api/jobs/tune", body, out, "tune", "the Tune tab");
    });
  }

  async submitJob(path, body, out, what, where = "Jobs") {
    say(out, `starting the ${what}…`, "busy");
    try {
      const job = await postJSON(path, body);
      this.jobs.update(job);
      say(out, `${what} #${job.id} ${job.state === "queued" ? "queued" : "started"}: progress under ${where}`, "ok");
    } catch (err) {
      say(out, err.message, "error");
    }
  }
}

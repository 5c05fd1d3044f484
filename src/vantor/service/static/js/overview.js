// The unit grid: one row per unit, built once per connection; afterwards only
// the cells whose text or class changed are written, and only in rows on
// screen (rows off screen are marked and filled when they scroll in), so 1024
// units at 2 Hz cost the browser about as much as the 30 rows it shows.
import { STATUS_WORDS, duration, fixed, micro } from "./format.js";

const STATUSES = ["ok", "IV", "update", "silent", "latched", "unheard"];
const STATUS_ORDER = { silent: 0, latched: 1, update: 2, unheard: 3, IV: 4, ok: 5 };   // trouble first
const RESORT_MS = 2000;

const SORT_KEYS = {
  rank: (u) => u.rank,
  name: (u) => (u.mcuId ?? 0) * 1000 + (u.cuId ?? 0),
  status: (u) => STATUS_ORDER[u.status] ?? 9,
  rate: (u) => u.rate ?? -Infinity,
  monitorV: (u) => u.monitorV ?? -Infinity,
  bias: (u) => (u.config ? u.config.biasI : -Infinity),
  updates: (u) => u.updates ?? 0,
  alarms: (u) => u.alarms ?? 0,
  age: (u) => (u.last_seen == null ? Infinity : -u.last_seen),
};
const STATIC_SORT = new Set(["rank", "name"]);

function cell(tr, className) {
  const td = document.createElement("td");
  if (className) td.className = className;
  tr.appendChild(td);
  return td;
}

/** Writes only on change; the browser then redraws only what moved. */
function put(row, key, text, className) {
  if (row.text[key] !== text) { row.cells[key].textContent = text; row.text[key] = text; }
  if (className !== undefined && row.cls[key] !== className) {
    row.cells[key].className = className; row.cls[key] = className;
  }
}

export class Overview {
  constructor(store, selection) {
    this.store = store;
    this.selection = selection;
    this.rows = new Map();          // rank -> row
    this.order = [];                // rows in display order
    this.sortKey = "rank";
    this.sortDir = 1;
    this.lastSort = 0;
    this.statusFilter = null;
    this.textFilter = "";
    this.lastClicked = null;
    this.body = document.getElementById("unit-rows");
    this.map = document.getElementById("status-map");
    this.chips = document.getElementById("status-chips");
    this.shownCount = document.getElementById("shown-count");
    this.selectShown = document.getElementById("select-shown");
    this.bindControls();
    selection.onChange(() => this.showSelection());
    this.watcher = new IntersectionObserver((entries) => this.seen(entries), {
      root: document.querySelector("#view-overview .grid-wrap"), rootMargin: "300px 0px",
    });
  }

  bindControls() {
    document.querySelectorAll("#unit-grid th[data-sort]").forEach((th) => {
      th.addEventListener("click", () => {
        const key = th.dataset.sort;
        this.sortDir = key === this.sortKey ? -this.sortDir : 1;
        this.sortKey = key;
        this.resort(true);
      });
    });
    document.getElementById("filter-text").addEventListener("input", (ev) => {
      this.textFilter = ev.target.value.trim();
      this.refilter();
    });
    this.selectShown.addEventListener("change", () => {
      const shown = this.order.filter((row) => !row.tr.hidden).map((row) => row.rank);
      this.selection.addAll(shown, this.selectShown.checked);
    });
    this.body.addEventListener("click", (ev) => {
      const tr = ev.target.closest("tr");
      if (!tr) return;
      const rank = Number(tr.dataset.rank);
      if (ev.shiftKey && this.lastClicked !== null) {
        this.selectRange(this.lastClicked, rank, !this.selection.has(rank));
      } else {
        this.selection.toggle(rank);
      }
      this.lastClicked = rank;
    });
    this.map.addEventListener("click", (ev) => {
      const rank = Number(ev.target.dataset.rank);
      if (rank) this.reveal(rank);
    });
  }

  /** New rows for every unit (a fresh connection may bring a different set). */
  rebuild() {
    this.watcher.disconnect();
    this.rows.clear();
    const bodyFrag = document.createDocumentFragment();
    const mapFrag = document.createDocumentFragment();
    for (const unit of this.store.units.values()) {
      const tr = document.createElement("tr");
      tr.dataset.rank = unit.rank;
      const selTd = cell(tr, "sel");
      const box = document.createElement("input");
      box.type = "checkbox";
      box.tabIndex = -1;
      selTd.appendChild(box);
      const row = {
        rank: unit.rank, tr, box, text: {}, cls: {}, stale: false, onScreen: false, dirty: false,
        cells: {
          rank: cell(tr, "num"), name: cell(tr), status: cell(tr), rate: cell(tr, "num"),
          monitorV: cell(tr, "num"), bias: cell(tr, "num"), updates: cell(tr, "num"),
          alarms: cell(tr, "num"), age: cell(tr, "num age"),
        },
        dot: document.createElement("i"),
      };
      row.dot.dataset.rank = unit.rank;
      // at a site a unit's key is the page's number of it; its node's rank is shown
      row.dot.title = `${unit.name} (rank ${unit.node_rank ?? unit.rank})`;
      put(row, "rank", String(unit.node_rank ?? unit.rank));
      put(row, "name", unit.name);
      this.rows.set(unit.rank, row);
      bodyFrag.appendChild(tr);
      mapFrag.appendChild(row.dot);
      this.fill(row, unit);
      this.watcher.observe(tr);
    }
    this.body.replaceChildren(bodyFrag);
    this.map.replaceChildren(mapFrag);
    this.order = [...this.rows.values()];
    this.showSelection();
    this.resort(true);
    this.refilter();
  }

  fill(row, unit) {
    const stale = this.store.isStale(unit);
    const valueClass = stale ? "num stale" : "num";
    const status = unit.status || "unheard";
    put(row, "status", STATUS_WORDS[status] || status, `st st-${status}`);
    // A last window that missed records reads low: marked, with how many came.
    row.short = unit.complete === false;
    put(row, "rate", fixed(unit.rate, 1) + (row.short ? "*" : ""), valueClass + (row.short ? " short" : ""));
    row.cells.rate.title = row.short ? `the last window missed records: ${unit.received} of ${unit.intSize} arrived, so it reads low` : "";
    put(row, "monitorV", fixed(unit.monitorV, 4), valueClass);
    put(row, "bias", micro(unit.config ? unit.config.biasI : null, 3));
    put(row, "updates", String(unit.updates ?? 0));
    put(row, "alarms", String(unit.alarms ?? 0));
    this.fillAge(row, unit, stale);
    this.showStatus(row, unit);
  }

  /** The status map shows every unit, on screen or not. */
  showStatus(row, unit) {
    const status = unit.status || "unheard";
    if (row.status !== status) {
      row.status = status;
      row.dot.className = `s-${status}`;
      row.dot.title = `${unit.name} (rank ${unit.rank}): ${STATUS_WORDS[status] || status}`;
      row.tr.dataset.status = status;
    }
  }

  fillAge(row, unit, stale) {
    put(row, "age", stale ? duration(this.store.age(unit)) : "");
    if (row.stale !== stale) {
      row.stale = stale;
      row.tr.classList.toggle("stale", stale);
      const valueClass = stale ? "num stale" : "num";
      put(row, "rate", row.text.rate, valueClass + (row.short ? " short" : ""));
      put(row, "monitorV", row.text.monitorV, valueClass);
    }
  }

  seen(entries) {
    for (const entry of entries) {
      const row = this.rows.get(Number(entry.target.dataset.rank));
      if (!row) continue;
      row.onScreen = entry.isIntersecting;
      if (row.onScreen && row.dirty) {
        row.dirty = false;
        this.fill(row, this.store.units.get(row.rank));
      }
    }
  }

  /** Units that changed in the latest summary. */
  update(ranks) {
    for (const rank of ranks) {
      const row = this.rows.get(rank);
      if (!row) continue;
      const unit = this.store.units.get(rank);
      if (row.onScreen) this.fill(row, unit);
      else { row.dirty = true; this.showStatus(row, unit); }
    }
    if (ranks.length) {
      if (this.statusFilter !== null || /[a-z]/i.test(this.textFilter)) this.refilter();
      else this.countStatuses();
      if (!STATIC_SORT.has(this.sortKey)) this.resort(false);
    }
  }

  /** Ages grow without messages: greys out units whose windows stopped coming. */
  tick() {
    for (const row of this.rows.values()) {
      if (!row.onScreen) { row.dirty = true; continue; }
      const unit = this.store.units.get(row.rank);
      this.fillAge(row, unit, this.store.isStale(unit));
    }
  }

  resort(force) {
    const now = performance.now();
    if (!force && now - this.lastSort < RESORT_MS) return;
    this.lastSort = now;
    const keyOf = SORT_KEYS[this.sortKey];
    const units = this.store.units;
    const dir = this.sortDir;
    const next = [...this.rows.values()].sort((a, b) => {
      const ka = keyOf(units.get(a.rank)), kb = keyOf(units.get(b.rank));
      return ka < kb ? -dir : ka > kb ? dir : a.rank - b.rank;
    });
    const same = next.length === this.order.length && next.every((row, i) => row === this.order[i]);
    if (!same) {
      const frag = document.createDocumentFragment();
      for (const row of next) frag.appendChild(row.tr);
      this.body.appendChild(frag);
      this.order = next;
    }
    document.querySelectorAll("#unit-grid th[data-sort]").forEach((th) => {
      th.classList.toggle("sorted-asc", th.dataset.sort === this.sortKey && dir === 1);
      th.classList.toggle("sorted-desc", th.dataset.sort === this.sortKey && dir === -1);
    });
  }

  matches(unit) {
    if (this.statusFilter !== null && unit.status !== this.statusFilter) return false;
    if (!this.textFilter) return true;
    return this.textFilter.split(/[\s,]+/).some((token) => {
      let m;
      if (!token) return false;
      if ((m = /^(\d+)-(\d+)$/.exec(token))) return unit.rank >= Number(m[1]) && unit.rank <= Number(m[2]);
      if (/^\d+$/.test(token)) return unit.rank === Number(token);
      if (/^\d+\.$/.test(token)) return unit.name.startsWith(token);
      if (/^\d+\.\d+$/.test(token)) return unit.name === token;
      const word = token.toLowerCase();
      return (STATUS_WORDS[unit.status] || "").startsWith(word) || unit.status?.toLowerCase() === word;
    });
  }

  refilter() {
    let shown = 0;
    for (const row of this.rows.values()) {
      const hide = !this.matches(this.store.units.get(row.rank));
      if (row.tr.hidden !== hide) row.tr.hidden = hide;
      if (!hide) shown++;
    }
    this.shownCount.textContent = `${shown} of ${this.rows.size} units shown`;
    this.countStatuses();
  }

  countStatuses() {
    const counts = Object.fromEntries(STATUSES.map((s) => [s, 0]));
    for (const unit of this.store.units.values()) counts[unit.status] = (counts[unit.status] || 0) + 1;
    const key = JSON.stringify(counts) + this.statusFilter;
    if (key === this.chipKey) return;
    this.chipKey = key;
    const frag = document.createDocumentFragment();
    for (const status of STATUSES) {
      if (!counts[status] && this.statusFilter !== status) continue;
      const chip = document.createElement("span");
      chip.className = `chip${this.statusFilter === status ? " active" : ""}`;
      chip.dataset.status = status;
      chip.title = `show only units that are ${STATUS_WORDS[status]}`;
      const dot = document.createElement("span");
      dot.className = `dot s-${status}`;
      chip.appendChild(dot);
      chip.append(`${STATUS_WORDS[status]} ${counts[status]}`);
      chip.addEventListener("click", () => {
        this.statusFilter = this.statusFilter === status ? null : status;
        this.refilter();
      });
      frag.appendChild(chip);
    }
    this.chips.replaceChildren(frag);
  }

  selectRange(fromRank, toRank, on) {
    const a = this.order.findIndex((row) => row.rank === fromRank);
    const b = this.order.findIndex((row) => row.rank === toRank);
    if (a < 0 || b < 0) return;
    const [lo, hi] = a < b ? [a, b] : [b, a];
    const ranks = this.order.slice(lo, hi + 1).filter((row) => !row.tr.hidden).map((row) => row.rank);
    this.selection.addAll(ranks, on);
  }

  showSelection() {
    for (const row of this.rows.values()) {
      const on = this.selection.has(row.rank);
      if (row.box.checked !== on) row.box.checked = on;
      row.tr.classList.toggle("selected", on);
    }
  }

  /** Scrolls a unit's row into view (clearing a filter that hides it) and flashes it. */
  reveal(rank) {
    const row = this.rows.get(rank);
    if (!row) return;
    if (row.tr.hidden) {
      this.statusFilter = null;
      this.textFilter = "";
      document.getElementById("filter-text").value = "";
      this.refilter();
    }
    row.tr.scrollIntoView({ block: "center" });
    row.tr.classList.add("flash");
    setTimeout(() => row.tr.classList.remove("flash"), 1500);
  }
}

// The array's yield at a glance: one row per board, one square per unit in
// cuId order, coloured by what the tune found (latched, from the live status,
// before anything else), and the count of each outcome. Clicking a square
// picks that unit; clicking a count filters by that outcome.
export const OUTCOMES = ["ok", "dead", "latched", "no plateau", "no switching", "noisy"];
const ALWAYS_COUNTED = new Set(["ok", "dead", "latched", "no plateau"]);

/** CSS class of an outcome ("no plateau" -> "y-no-plateau"); "y-none": not tuned. */
export function outcomeClass(word) {
  return word ? `y-${word.replace(/ /g, "-")}` : "y-none";
}

/** A unit's word in the map: latched (seen live) first, else the tune's status. */
export function outcomeOf(row, unit) {
  if (!row) return null;
  return unit && unit.status === "latched" ? "latched" : row.status;
}

export class YieldMap {
  constructor(mapEl, legendEl, { onPick, onFilter }) {
    this.mapEl = mapEl;
    this.legendEl = legendEl;
    this.onPick = onPick;         // rank
    this.onFilter = onFilter;     // outcome word or null
    this.filter = null;
    this.cells = new Map();       // rank -> {el, word}
    this.legendKey = "";
    mapEl.addEventListener("click", (ev) => {
      const rank = Number(ev.target.dataset.rank);
      if (rank) this.onPick(rank);
    });
    legendEl.addEventListener("click", (ev) => {
      const chip = ev.target.closest("[data-outcome]");
      if (!chip) return;
      this.filter = this.filter === chip.dataset.outcome ? null : chip.dataset.outcome;
      this.legendKey = "";
      this.onFilter(this.filter);
    });
  }

  /** New squares for every unit (after a new result or a new set of units). */
  build(units) {
    const boards = new Map();
    for (const unit of units.values()) {
      if (!boards.has(unit.mcuId)) boards.set(unit.mcuId, []);
      boards.get(unit.mcuId).push(unit);
    }
    const width = Math.max(0, ...[...units.values()].map((u) => u.cuId + 1));
    const frag = document.createDocumentFragment();
    const head = document.createElement("div");
    head.className = "yield-row yield-head";
    head.appendChild(label("board"));
    for (let cu = 0; cu < width; cu++) {
      const i = document.createElement("i");
      i.textContent = cu % 10 === 0 ? String(cu) : "";
      head.appendChild(i);
    }
    frag.appendChild(head);
    this.cells.clear();
    for (const mcu of [...boards.keys()].sort((a, b) => a - b)) {
      const row = document.createElement("div");
      row.className = "yield-row";
      row.appendChild(label(String(mcu)));
      const byCu = new Map(boards.get(mcu).map((u) => [u.cuId, u]));
      for (let cu = 0; cu < width; cu++) {
        const i = document.createElement("i");
        const unit = byCu.get(cu);
        if (unit) {
          i.dataset.rank = unit.rank;
          this.cells.set(unit.rank, { el: i, word: undefined });
        } else {
          i.className = "y-absent";
        }
        row.appendChild(i);
      }
      frag.appendChild(row);
    }
    this.mapEl.replaceChildren(frag);
    // A few boards of few units get larger squares; a thousand units still fit.
    this.mapEl.classList.toggle("roomy", width <= 16 && boards.size <= 16);
    this.legendKey = "";
  }

  /** Colours every square (only those whose outcome changed) and the counts. */
  draw(units, rows, proposedText) {
    const counts = Object.fromEntries(OUTCOMES.map((w) => [w, 0]));
    let tuned = 0;
    for (const [rank, cell] of this.cells) {
      const unit = units.get(rank);
      const word = outcomeOf(rows ? rows[rank] : null, unit);
      if (word) { counts[word] = (counts[word] || 0) + 1; tuned++; }
      if (cell.word !== word) {
        cell.word = word;
        cell.el.className = outcomeClass(word);
      }
      const title = `${unit ? unit.name : rank} (rank ${rank}): ${word ?? "not tuned"}${proposedText(rank)}`;
      if (cell.el.title !== title) cell.el.title = title;
    }
    this.drawLegend(counts, tuned);
  }

  drawLegend(counts, tuned) {
    const key = JSON.stringify(counts) + tuned + this.filter;
    if (key === this.legendKey) return;
    this.legendKey = key;
    const frag = document.createDocumentFragment();
    if (!tuned) {
      frag.append("no result to show yet");
      this.legendEl.replaceChildren(frag);
      return;
    }
    for (const word of OUTCOMES) {
      if (!counts[word] && !ALWAYS_COUNTED.has(word) && this.filter !== word) continue;
      const chip = document.createElement("span");
      chip.className = `chip${this.filter === word ? " active" : ""}`;
      chip.dataset.outcome = word;
      chip.title = `show only the units that are ${word} in the table`;
      const dot = document.createElement("span");
      dot.className = `dot ${outcomeClass(word)}`;
      chip.append(dot, `${word} ${counts[word]}`);
      frag.appendChild(chip);
    }
    const total = document.createElement("span");
    total.className = "muted";
    total.textContent = `yield ${Math.round((100 * counts.ok) / tuned)} % of ${tuned}`;
    frag.appendChild(total);
    this.legendEl.replaceChildren(frag);
  }
}

function label(text) {
  const b = document.createElement("b");
  b.textContent = text;
  return b;
}

// Boards (microcontrollers): temperatures, PLL lock, status word and when each
// was last heard. A handful of rows, so the table is simply rewritten.
import { NONE, duration, fixed } from "./format.js";

export class BoardsView {
  constructor(store) {
    this.store = store;
    this.body = document.getElementById("board-rows");
    this.visible = false;
    this.lastKey = "";
  }

  show(visible) {
    this.visible = visible;
    if (visible) this.draw();
  }

  draw() {
    if (!this.visible) return;
    const now = this.store.serverNow();
    const rows = [...this.store.boards.values()].sort((a, b) => a.mcuId - b.mcuId).map((b) => {
      const heard = b.last_seen ? `${duration(now - b.last_seen)} ago` : "never";
      const pll = b.pll === null || b.pll === undefined ? [NONE, ""] : b.pll ? ["locked", "s-ok"] : ["UNLOCKED", "s-silent"];
      return [b.mcuId, fixed(b.temp1, 2), fixed(b.temp2, 3), pll, b.status ?? NONE, b.reports ?? 0, heard];
    });
    const key = JSON.stringify(rows);
    if (key === this.lastKey) return;
    this.lastKey = key;
    const frag = document.createDocumentFragment();
    for (const cols of rows) {
      const tr = document.createElement("tr");
      cols.forEach((value, i) => {
        const td = document.createElement("td");
        if (i === 3) { td.textContent = value[0]; td.className = `st ${value[1]}`; } else td.textContent = value;
        if (i !== 3 && i !== 6) td.classList.add("num");
        tr.appendChild(td);
      });
      frag.appendChild(tr);
    }
    this.body.replaceChildren(frag);
  }
}

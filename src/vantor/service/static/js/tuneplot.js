// A tune's curves: count rate against bias for the units picked, with each
// unit's switching current, plateau onset and proposed bias marked on its curve.
import { plotLayout, PLOT_CONFIG } from "./plots.js";

const MARKS = [
  { key: "switching_current", name: "switching", symbol: "x-thin-open", color: "#f85149" },
  { key: "plateau_onset", name: "plateau onset", symbol: "triangle-up", color: "#3fb950" },
  { key: "proposed_bias", name: "proposed bias", symbol: "diamond", color: "#f0f6fc" },
];

/** The curve's rate at `x` (µA): interpolated, or the last point below it when
 *  `below` (switching lies between the last free point and the first latched one). */
function rateAt(curve, x, below) {
  const { bias, rate } = curve;
  let i = 0;
  while (i < bias.length && bias[i] <= x) i++;
  if (i === 0) return rate[0];
  if (below || i === bias.length) return rate[i - 1];
  const f = (x - bias[i - 1]) / (bias[i] - bias[i - 1]);
  return rate[i - 1] + f * (rate[i] - rate[i - 1]);
}

/** {rank: {bias (µA), rate}} from a job's result channels. */
export function curvesOf(result) {
  const out = {};
  for (const [rank, ch] of Object.entries(result.channels || {})) {
    const seconds = ((ch.config && ch.config.biasSweepT) || 0) * 0.01;
    out[rank] = {
      bias: (ch.biasI || []).map((a) => a * 1e6),
      rate: (ch.counts || []).map((n) => (seconds ? n / seconds : null)),
    };
  }
  return out;
}

export function drawTunePlot(div, curves, rows, ranks, nameOf) {
  const traces = [];
  const marks = MARKS.map((m) => ({
    type: "scatter", mode: "markers", name: m.name, x: [], y: [], text: [], hoverinfo: "text",
    marker: { symbol: m.symbol, size: 11, color: m.color, line: { width: 2, color: m.color } },
  }));
  for (const rank of ranks) {
    const curve = curves[rank];
    const row = rows[rank];
    if (!curve || !row) continue;
    const name = nameOf(rank);
    traces.push({ type: "scatter", mode: "lines+markers", name, x: curve.bias, y: curve.rate,
      marker: { size: 4 }, legendgroup: name });
    MARKS.forEach((m, i) => {
      const amperes = row[m.key];
      if (amperes === null || amperes === undefined) return;
      const x = amperes * 1e6;
      marks[i].x.push(x);
      marks[i].y.push(rateAt(curve, x, m.key === "switching_current"));
      marks[i].text.push(`${name} ${m.name} ${x.toFixed(2)} µA`);
    });
  }
  Plotly.react(div, [...traces, ...marks], plotLayout({
    xaxis: { title: { text: "bias current (µA)" } },
    yaxis: { title: { text: "counts/s" }, rangemode: "tozero" },
    // Below the axis: a dozen curves and marks would cover the plot from above.
    legend: { orientation: "h", x: 0, xref: "container", y: 0, yref: "container", yanchor: "bottom" },
    margin: { l: 60, r: 16, t: 24, b: 100 },
    uirevision: "tune",
  }), PLOT_CONFIG);
}

// Plot styling shared by the rate and IV plots (dark background, no logo, no
// links that would leave the lab network).
export const PLOT_CONFIG = {
  displaylogo: false, responsive: true, showLink: false, showSendToCloud: false,
  modeBarButtonsToRemove: ["lasso2d", "select2d"],
};

export function plotLayout(extra) {
  const axis = { gridcolor: "#2a313b", zerolinecolor: "#3a424d", linecolor: "#3a424d" };
  return {
    paper_bgcolor: "rgba(0,0,0,0)", plot_bgcolor: "#0d1117",
    font: { color: "#d6dde6", size: 12, family: "system-ui, sans-serif" },
    margin: { l: 60, r: 16, t: 30, b: 44 },
    legend: { orientation: "h", y: 1.12, x: 0 },
    ...extra,
    xaxis: { ...axis, ...(extra.xaxis || {}) },
    yaxis: { ...axis, ...(extra.yaxis || {}) },
  };
}

/**
 * Canvas drawing of the simulation: candles with open positions and pending orders on top,
 * the episode's equity curve below. Reads the simulation, never changes it.
 */

const COLORS = {
  grid: '#2a3038', text: '#a9b2bd', up: '#26a269', down: '#e5534b',
  equity: '#4f9cf0', order: '#e0b341', trail: '#f0883e',
};
const VISIBLE = 120;
const PAD = { left: 8, right: 72, top: 12, bottom: 18 };

/**
 * Draw everything into a 2D context of the given CSS-pixel size.
 * @param {CanvasRenderingContext2D} ctx
 * @param {number} width
 * @param {number} height
 * @param {import('./sim.js').Simulation} sim
 */
export function drawChart(ctx, width, height, sim) {
  ctx.clearRect(0, 0, width, height);
  ctx.font = '11px ui-monospace, monospace';
  const split = Math.round(height * 0.7);
  drawCandles(ctx, { x: PAD.left, y: PAD.top, w: width - PAD.left - PAD.right, h: split - PAD.top - 8 }, sim);
  drawEquity(ctx, { x: PAD.left, y: split + 16, w: width - PAD.left - PAD.right, h: height - split - 16 - PAD.bottom }, sim);
}

function scaler(lo, hi, box) {
  const span = hi - lo || Math.abs(hi) || 1;
  return (v) => box.y + box.h - ((v - lo) / span) * box.h;
}

function axisLabels(ctx, box, lo, hi, y) {
  ctx.fillStyle = COLORS.text;
  ctx.strokeStyle = COLORS.grid;
  ctx.lineWidth = 1;
  for (let i = 0; i <= 4; i++) {
    const v = lo + ((hi - lo) * i) / 4;
    const py = Math.round(y(v)) + 0.5;
    ctx.beginPath();
    ctx.moveTo(box.x, py);
    ctx.lineTo(box.x + box.w, py);
    ctx.stroke();
    ctx.fillText(v.toFixed(2), box.x + box.w + 6, py + 4);
  }
}

function level(ctx, box, y, price, color, dash, label) {
  if (!Number.isFinite(price)) return;
  const py = Math.round(y(price)) + 0.5;
  if (py < box.y || py > box.y + box.h) return;
  ctx.strokeStyle = color;
  ctx.setLineDash(dash);
  ctx.beginPath();
  ctx.moveTo(box.x, py);
  ctx.lineTo(box.x + box.w, py);
  ctx.stroke();
  ctx.setLineDash([]);
  if (label) {
    ctx.fillStyle = color;
    ctx.fillText(label, box.x + 4, py - 3);
  }
}

function drawCandles(ctx, box, sim) {
  const k = sim.candles;
  const first = Math.max(sim.episode.start, sim.cursor - VISIBLE + 1);
  let lo = Infinity;
  let hi = -Infinity;
  for (let i = first; i <= sim.cursor; i++) {
    lo = Math.min(lo, k.low[i]);
    hi = Math.max(hi, k.high[i]);
  }
  for (const p of sim.positions.values()) { lo = Math.min(lo, p.entry); hi = Math.max(hi, p.entry); }
  const y = scaler(lo, hi, box);
  axisLabels(ctx, box, lo, hi, y);
  const slot = box.w / VISIBLE;
  const body = Math.max(1, slot * 0.7);
  for (let i = first; i <= sim.cursor; i++) {
    const cx = box.x + (i - first + 0.5) * slot;
    const up = k.close[i] >= k.open[i];
    ctx.strokeStyle = ctx.fillStyle = up ? COLORS.up : COLORS.down;
    ctx.beginPath();
    ctx.moveTo(Math.round(cx) + 0.5, y(k.high[i]));
    ctx.lineTo(Math.round(cx) + 0.5, y(k.low[i]));
    ctx.stroke();
    const top = y(Math.max(k.open[i], k.close[i]));
    ctx.fillRect(cx - body / 2, top, body, Math.max(1, y(Math.min(k.open[i], k.close[i])) - top));
  }
  for (const p of sim.positions.values()) {
    const color = p.side > 0 ? COLORS.up : COLORS.down;
    level(ctx, box, y, p.entry, color, [6, 3], `#${p.id} ${p.side > 0 ? 'buy' : 'sell'} ${+p.units.toFixed(4)} @ ${p.entry.toFixed(2)}`);
    level(ctx, box, y, p.takeProfit, COLORS.up, [2, 4], '');
    level(ctx, box, y, p.stopLoss, COLORS.down, [2, 4], '');
    level(ctx, box, y, p.trailStop, COLORS.trail, [2, 4], '');
    const ex = box.x + (p.entryStep + sim.episode.start - first + 0.5) * slot;
    if (ex >= box.x) {
      ctx.fillStyle = color;
      ctx.beginPath();
      ctx.arc(ex, y(p.entry), 4, 0, 2 * Math.PI);
      ctx.fill();
    }
  }
  for (const o of sim.orders.values()) {
    level(ctx, box, y, o.price, COLORS.order, [1, 3], `#${o.id} ${o.type > 0 ? 'limit' : 'stop'} ${o.side > 0 ? 'buy' : 'sell'}`);
  }
}

function drawEquity(ctx, box, sim) {
  const h = sim.equityHistory;
  let lo = Infinity;
  let hi = -Infinity;
  for (const v of h) { if (v !== undefined) { lo = Math.min(lo, v); hi = Math.max(hi, v); } }
  if (!Number.isFinite(lo)) return;
  const y = scaler(lo, hi, box);
  axisLabels(ctx, box, lo, hi, y);
  const dx = box.w / Math.max(1, sim.episode.length);
  ctx.strokeStyle = COLORS.equity;
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  h.forEach((v, i) => (i === 0 ? ctx.moveTo(box.x, y(v)) : ctx.lineTo(box.x + i * dx, y(v))));
  ctx.stroke();
  ctx.lineWidth = 1;
  ctx.fillStyle = COLORS.text;
  ctx.fillText(`equity ${sim.equity.toFixed(2)}`, box.x + 4, box.y + 12);
}

/**
 * Canvas drawing of the page: the episode's candles with volume, a time axis, every entry and
 * exit, the levels of open positions and pending orders, the equity curve below; and the small
 * chart of earlier episodes. Reads the simulation and the recorder, never changes them.
 *
 * Colours come from the Okabe-Ito set, which readers with any common colour-vision deficiency
 * tell apart, and every meaning carried by a colour is carried by a shape too: buy ▲ and sell ▼
 * entries, a disc for an exit with a gain and a cross for one with a loss, hollow rising and
 * filled falling candles, circles for train and diamonds for test episodes.
 *
 * No text covers other text or a marker: the price tags on the axis come first, then the axis
 * and time labels around them, then the entry labels beside their markers (placement.js); a
 * label that finds no free place is left out.
 */
import { clock, day, money, niceStep, percent, price as priceText, units as unitsText } from './format.js';
import { Placer } from './placement.js';

export const COLORS = Object.freeze({
  grid: '#262d36', axis: '#9aa5b1', text: '#c9d1d9', up: '#a9b8c8', down: '#5f6e80',
  volume: '#34404d', entry: '#ffffff', outline: '#0b0e12',
  win: '#56b4e9', loss: '#e69f00', even: '#9aa5b1',
  takeProfit: '#56b4e9', stopLoss: '#e69f00', trail: '#cc79a7', order: '#f0e442',
  equity: '#e6edf3', train: '#56b4e9', test: '#e69f00', now: '#dfe6ee',
});

const MIN_SLOT = 3; // px per candle before the chart scrolls
const AXIS_W = 74;
const PAD = { left: 8, top: 8 };
const TAG_H = 15;

/**
 * Draw the main chart into a 2D context of the given CSS-pixel size.
 * @param {CanvasRenderingContext2D} ctx
 * @param {number} width
 * @param {number} height
 * @param {import('./sim.js').Simulation} sim
 * @param {import('./recorder.js').Recorder} recorder
 * @returns {{marks: {x:number, y:number, kind:string}[]}} the markers drawn, newest last
 */
export function drawChart(ctx, width, height, sim, recorder) {
  ctx.clearRect(0, 0, width, height);
  const fs = width >= 1400 ? 13 : 11;
  ctx.font = `${fs}px "DejaVu Sans Mono", ui-monospace, monospace`;
  ctx.textBaseline = 'middle';
  const plotW = width - PAD.left - AXIS_W;
  const split = Math.round(height * 0.68);
  const view = visibleRange(sim, plotW);
  const priceBox = { x: PAD.left, y: PAD.top, w: plotW, h: split - PAD.top - 20 };
  const equityBox = { x: PAD.left, y: split + 12, w: plotW, h: height - split - 12 - 20 };
  const placer = new Placer({ x: 0, y: 0, w: width, h: height });
  const marks = drawPrice(ctx, priceBox, sim, recorder, view, fs, placer);
  drawTimeAxis(ctx, priceBox, sim, view, fs, placer);
  drawEquity(ctx, equityBox, sim, view, fs);
  return { marks };
}

/** Which candles are on screen: the whole episode when it fits, else a window that follows. */
function visibleRange(sim, plotW) {
  const { start, length } = sim.episode;
  const count = length + 1;
  const maxSlots = Math.max(8, Math.floor(plotW / MIN_SLOT));
  const slots = Math.min(count, maxSlots);
  const first = count <= maxSlots
    ? start
    : Math.min(Math.max(start, sim.cursor - Math.floor(slots * 0.85)), start + count - slots);
  const last = Math.min(sim.cursor, first + slots - 1);
  const slot = plotW / slots;
  return { first, last, slots, slot, x: (i) => PAD.left + (i - first + 0.5) * slot };
}

function yScale(lo, hi, box) {
  return (v) => box.y + box.h - ((v - lo) / (hi - lo)) * box.h;
}

/** lo..hi widened to show at least a little range and a margin. */
function padRange(lo, hi, minSpan) {
  const span = Math.max(hi - lo, minSpan);
  const mid = (lo + hi) / 2;
  return [mid - span * 0.55, mid + span * 0.55];
}

/** Grid lines across the box at a round step; returns the step and each line's value and y. */
function grid(ctx, box, lo, hi, y) {
  const step = niceStep(hi - lo, Math.max(2, Math.floor(box.h / 48)));
  const ticks = [];
  ctx.lineWidth = 1;
  ctx.strokeStyle = COLORS.grid;
  for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
    const py = Math.round(y(v)) + 0.5;
    ctx.beginPath();
    ctx.moveTo(box.x, py);
    ctx.lineTo(box.x + box.w, py);
    ctx.stroke();
    ticks.push({ v, py });
  }
  return { step, ticks };
}

/** Text at x with its vertical middle at y, if the placer finds its box free. */
function placeText(ctx, placer, text, x, y, fs) {
  const box = { x, y: y - fs / 2 - 1, w: ctx.measureText(text).width, h: fs + 2 };
  if (!placer.place([box])) return false;
  ctx.fillText(text, x, y);
  return true;
}

/** The value labels of the grid lines, right of the box; those the placer refuses are left out. */
function axisLabels(ctx, box, { step, ticks }, format, fs, placer) {
  ctx.fillStyle = COLORS.axis;
  for (const { v, py } of ticks) placeText(ctx, placer, format(v, step), box.x + box.w + 8, py, fs);
}

function gridAndLabels(ctx, box, lo, hi, y, format, fs) {
  const lines = grid(ctx, box, lo, hi, y);
  axisLabels(ctx, box, lines, format, fs, new Placer());
  return lines.step;
}

function hline(ctx, x0, x1, py, color, dash, width = 1) {
  ctx.strokeStyle = color;
  ctx.lineWidth = width;
  ctx.setLineDash(dash);
  ctx.beginPath();
  ctx.moveTo(x0, py);
  ctx.lineTo(x1, py);
  ctx.stroke();
  ctx.setLineDash([]);
}

function drawPrice(ctx, box, sim, recorder, view, fs, placer) {
  const k = sim.candles;
  const { first, last, slot, x } = view;
  let lo = Infinity;
  let hi = -Infinity;
  let vmax = 0;
  for (let i = first; i <= last; i++) {
    lo = Math.min(lo, k.low[i]);
    hi = Math.max(hi, k.high[i]);
    vmax = Math.max(vmax, k.volume[i]);
  }
  for (const p of sim.positions.values()) { lo = Math.min(lo, p.entry); hi = Math.max(hi, p.entry); }
  [lo, hi] = padRange(lo, hi, Math.abs(hi) * 0.002 || 1);
  const y = yScale(lo, hi, box);
  const lines = grid(ctx, box, lo, hi, y);
  const fmt = (v) => priceText(v, lines.step);

  // Volume: the lowest sixth of the pane, under the candles.
  let volLabel = null;
  if (vmax > 0) {
    const vh = box.h / 6;
    ctx.fillStyle = COLORS.volume;
    const w = Math.max(1, slot * 0.7);
    for (let i = first; i <= last; i++) {
      const h = (k.volume[i] / vmax) * vh;
      ctx.fillRect(x(i) - w / 2, box.y + box.h - h, w, h);
    }
    volLabel = { x: box.x + 3, y: box.y + box.h - vh - 6 };
  }

  // Candles: hollow when the close is at or above the open, filled when below.
  const body = Math.max(1, slot * 0.62);
  ctx.lineWidth = 1;
  for (let i = first; i <= last; i++) {
    const up = k.close[i] >= k.open[i];
    const cx = Math.round(x(i)) + 0.5;
    ctx.strokeStyle = up ? COLORS.up : COLORS.down;
    ctx.beginPath();
    ctx.moveTo(cx, y(k.high[i]));
    ctx.lineTo(cx, y(k.low[i]));
    ctx.stroke();
    const top = y(Math.max(k.open[i], k.close[i]));
    const h = Math.max(1, y(Math.min(k.open[i], k.close[i])) - top);
    if (up && body >= 3) {
      ctx.fillStyle = '#181c22';
      ctx.fillRect(cx - body / 2, top, body, h);
      ctx.strokeRect(cx - body / 2, top, body, h);
    } else {
      ctx.fillStyle = up ? COLORS.up : COLORS.down;
      ctx.fillRect(cx - body / 2, top, body, h);
    }
  }

  // Levels of open positions (from their entry on) and pending orders (across).
  const right = box.x + box.w;
  const tags = [];
  const level = (v, x0, color, dash, label) => {
    if (!Number.isFinite(v)) return;
    const py = y(v);
    const inside = py >= box.y && py <= box.y + box.h;
    if (inside) hline(ctx, Math.max(box.x, x0), right, Math.round(py) + 0.5, color, dash, 1.25);
    const arrow = inside ? '' : py < box.y ? ' ↑' : ' ↓';
    tags.push({ y: Math.min(Math.max(py, box.y), box.y + box.h), color, text: `${label} ${fmt(v)}${arrow}` });
  };
  const start = sim.episode.start;
  for (const p of sim.positions.values()) {
    const x0 = x(start + p.entryStep);
    level(p.entry, x0, COLORS.entry, [5, 3], `#${p.id}`);
    level(p.takeProfit, x0, COLORS.takeProfit, [7, 4], 'TP');
    level(p.stopLoss, x0, COLORS.stopLoss, [7, 4], 'SL');
    level(p.trailStop, x0, COLORS.trail, [2, 3], 'TS');
  }
  for (const o of sim.orders.values()) {
    level(o.price, box.x, COLORS.order, [3, 3], `#${o.id} ${o.type > 0 ? 'LMT' : 'STP'}`);
  }
  tags.push({ y: y(sim.price), color: COLORS.now, text: fmt(sim.price), now: true });

  // Tags first: the axis labels and every other text make way for them.
  const h = Math.max(TAG_H, fs + 4);
  stackTags(box, tags, h);
  for (const t of tags) placer.block(tagBox(ctx, box, t, h));
  axisLabels(ctx, box, lines, priceText, fs, placer);
  if (volLabel) {
    ctx.fillStyle = COLORS.axis;
    placeText(ctx, placer, 'vol', volLabel.x, volLabel.y, fs);
  }
  const marks = drawMarks(ctx, box, sim, recorder, view, y, fs, placer);
  drawTags(ctx, tags, h, (t) => tagBox(ctx, box, t, h));
  return marks;
}

/** Entries (▲ buy, ▼ sell) and exits (disc gain, cross loss), a dashed link between. */
function drawMarks(ctx, box, sim, recorder, view, y, fs, placer) {
  const start = sim.episode.start;
  const { first, last, x } = view;
  const drawn = [];
  const from = recorder.firstMarkFrom(first - start);
  const marks = recorder.marks;
  const r = Math.max(4, Math.min(7, view.slot * 0.9));
  // Links first, so that markers sit on top; a link from an entry out of view is cut at the edge.
  ctx.save();
  ctx.beginPath();
  ctx.rect(box.x, box.y, box.w, box.h);
  ctx.clip();
  ctx.lineWidth = 1.25;
  ctx.setLineDash([4, 3]);
  for (let i = from; i < marks.length; i++) {
    const m = marks[i];
    if (!m.exit || !m.entry || m.step + start > last) continue;
    ctx.strokeStyle = outcomeColor(m.pnl);
    ctx.beginPath();
    ctx.moveTo(x(start + m.entry.step), y(m.entry.price));
    ctx.lineTo(x(start + m.step), y(m.price));
    ctx.stroke();
  }
  ctx.restore();
  const labels = [];
  for (let i = from; i < marks.length; i++) {
    const m = marks[i];
    if (m.step + start > last) break;
    const px = x(start + m.step);
    const py = y(m.price);
    if (py < box.y - r || py > box.y + box.h + r) continue;
    ctx.lineWidth = 1.5;
    ctx.strokeStyle = COLORS.outline;
    let kind;
    if (!m.exit) {
      kind = m.side < 0 ? 'sell' : 'buy';
      const dir = m.side < 0 ? 1 : -1; // apex up for buy
      ctx.fillStyle = COLORS.entry;
      ctx.beginPath();
      ctx.moveTo(px, py + dir * r * 1.2);
      ctx.lineTo(px - r, py - dir * r * 0.8);
      ctx.lineTo(px + r, py - dir * r * 0.8);
      ctx.closePath();
      ctx.fill();
      ctx.stroke();
      labels.push({ text: `${m.side < 0 ? 'S' : 'B'}${unitsText(m.units)}`, px, py, dir });
    } else if (m.pnl > 0) {
      kind = 'win';
      ctx.fillStyle = COLORS.win;
      ctx.beginPath();
      ctx.arc(px, py, r, 0, 2 * Math.PI);
      ctx.fill();
      ctx.stroke();
    } else if (m.pnl < 0) {
      kind = 'loss';
      cross(ctx, px, py, r);
    } else {
      kind = 'even';
      ctx.strokeStyle = COLORS.even;
      ctx.lineWidth = 2;
      ctx.beginPath();
      ctx.arc(px, py, r - 1, 0, 2 * Math.PI);
      ctx.stroke();
    }
    drawn.push({ x: px, y: py, kind });
    placer.block({ x: px - r - 1, y: py - r * 1.2 - 1, w: 2 * r + 2, h: r * 2.4 + 2 });
  }
  // Entry labels once every marker is down, the newest first: on the side away from the
  // triangle's apex, else on the other side, right or left of it, else none.
  ctx.fillStyle = COLORS.text;
  const lh = fs + 2;
  for (const { text, px, py, dir } of labels.reverse()) {
    const w = ctx.measureText(text).width;
    const away = py - dir * (r + fs * 0.8);
    const toward = py + dir * (r * 1.2 + fs * 0.8);
    const spot = placer.place([
      { x: px - w / 2, y: away - lh / 2, w, h: lh },
      { x: px - w / 2, y: toward - lh / 2, w, h: lh },
      { x: px + r + 3, y: py - lh / 2, w, h: lh },
      { x: px - r - 3 - w, y: py - lh / 2, w, h: lh },
    ], box);
    if (spot) ctx.fillText(text, spot.x, spot.y + lh / 2);
  }
  return drawn.slice(-8);
}

function cross(ctx, px, py, r) {
  const d = r * 0.85;
  ctx.lineCap = 'round';
  for (const [color, w] of [[COLORS.outline, 5], [COLORS.loss, 3]]) {
    ctx.strokeStyle = color;
    ctx.lineWidth = w;
    ctx.beginPath();
    ctx.moveTo(px - d, py - d);
    ctx.lineTo(px + d, py + d);
    ctx.moveTo(px + d, py - d);
    ctx.lineTo(px - d, py + d);
    ctx.stroke();
  }
  ctx.lineCap = 'butt';
}

function outcomeColor(pnl) {
  return pnl > 0 ? COLORS.win : pnl < 0 ? COLORS.loss : COLORS.even;
}

/** Price tags on the right axis, h high, pushed apart (in place) so that none hides another. */
function stackTags(box, tags, h) {
  tags.sort((a, b) => a.y - b.y);
  for (let i = 1; i < tags.length; i++) tags[i].y = Math.max(tags[i].y, tags[i - 1].y + h);
  const overflow = tags.length ? tags[tags.length - 1].y - (box.y + box.h) : 0;
  if (overflow > 0) for (const t of tags) t.y -= overflow;
}

/** Where a tag is drawn: on the axis, reaching left into the pane when its text is long. */
function tagBox(ctx, box, t, h) {
  const w = Math.max(AXIS_W - 4, ctx.measureText(t.text).width + 8);
  return { x: box.x + box.w + AXIS_W - 2 - w, y: t.y - h / 2, w, h };
}

function drawTags(ctx, tags, h, boxOf) {
  for (const t of tags) {
    const { x, y, w } = boxOf(t);
    ctx.fillStyle = t.now ? COLORS.now : '#0f1318';
    ctx.fillRect(x, y, w, h);
    ctx.strokeStyle = t.color;
    ctx.lineWidth = 1;
    ctx.strokeRect(x + 0.5, y + 0.5, w - 1, h - 1);
    ctx.fillStyle = t.now ? '#0f1318' : t.color;
    ctx.fillText(t.text, x + 4, t.y + 0.5);
  }
}

/** Clock times under the candles, a date where the day changes; none under a price tag. */
function drawTimeAxis(ctx, box, sim, view, fs, placer) {
  const { first, slots, slot, x } = view;
  const every = niceCount(Math.ceil(78 / slot));
  const t = sim.candles.time;
  const end = Math.min(first + slots - 1, sim.candles.length - 1);
  const py = box.y + box.h + 11;
  ctx.fillStyle = COLORS.axis;
  ctx.strokeStyle = COLORS.grid;
  let lastDay = '';
  for (let i = first; i <= end; i++) {
    if ((i - sim.episode.start) % every !== 0) continue;
    const px = Math.round(x(i)) + 0.5;
    ctx.beginPath();
    ctx.moveTo(px, box.y + box.h);
    ctx.lineTo(px, box.y + box.h + 4);
    ctx.stroke();
    const d = day(t[i]);
    const label = d !== lastDay ? `${d} ${clock(t[i])}` : clock(t[i]);
    const w = ctx.measureText(label).width;
    if (px - w / 2 < 0 || !placeText(ctx, placer, label, px - w / 2, py, fs)) continue;
    lastDay = d;
  }
}

/** 1, 2, 5, 10, 15, 30, 60, 120, ... candles between labels, at least n. */
function niceCount(n) {
  for (const c of [1, 2, 5, 10, 15, 20, 30, 60, 120, 240, 480, 1440]) if (c >= n) return c;
  return Math.ceil(n / 1440) * 1440;
}

function equityLabel(v, step) {
  const rounded = Math.round(v / step) * step;
  return step >= 1 ? money(rounded).slice(0, -3) : money(rounded);
}

function drawEquity(ctx, box, sim, view, fs) {
  const h = sim.equityHistory;
  const start = sim.episode.start;
  const initial = h[0];
  const from = Math.max(0, view.first - start);
  const to = Math.min(h.length - 1, view.last - start);
  let lo = initial;
  let hi = initial;
  for (let i = from; i <= to; i++) {
    if (h[i] === undefined) continue;
    lo = Math.min(lo, h[i]);
    hi = Math.max(hi, h[i]);
  }
  [lo, hi] = padRange(lo, hi, Math.abs(initial) * 0.002 || 1);
  const y = yScale(lo, hi, box);
  gridAndLabels(ctx, box, lo, hi, y, equityLabel, fs);
  const base = Math.round(y(initial)) + 0.5;
  hline(ctx, box.x, box.x + box.w, base, COLORS.axis, [2, 4]);

  // Area between the curve and the start value, then the curve.
  const path = () => {
    let started = false;
    for (let i = from; i <= to; i++) {
      if (h[i] === undefined) continue;
      const px = view.x(start + i);
      if (started) ctx.lineTo(px, y(h[i]));
      else { ctx.moveTo(px, y(h[i])); started = true; }
    }
  };
  ctx.beginPath();
  path();
  ctx.lineTo(view.x(start + to), base);
  ctx.lineTo(view.x(start + from), base);
  ctx.closePath();
  ctx.fillStyle = 'rgba(86, 180, 233, 0.12)';
  ctx.fill();
  ctx.strokeStyle = COLORS.equity;
  ctx.lineWidth = 1.5;
  ctx.beginPath();
  path();
  ctx.stroke();

  const change = sim.equity - initial;
  const title = `equity ${money(sim.equity)}  (${change >= 0 ? '+' : ''}${percent(change / initial, 2)})`;
  ctx.fillStyle = 'rgba(24, 28, 34, 0.85)';
  ctx.fillRect(box.x, box.y + fs / 2 - 2, ctx.measureText(title).width + 8, fs + 4);
  ctx.fillStyle = COLORS.text;
  ctx.fillText(title, box.x + 4, box.y + fs);

  // Step numbers under the pane.
  const every = niceCount(Math.ceil(60 / view.slot));
  ctx.fillStyle = COLORS.axis;
  const lastStep = Math.min(sim.episode.length, from + view.slots - 1);
  for (let i = Math.ceil(from / every) * every; i <= lastStep; i += every) {
    const label = String(i);
    const w = ctx.measureText(label).width;
    const lx = view.x(start + i) - w / 2;
    if (lx + w <= box.x + box.w + 4) ctx.fillText(label, lx, box.y + box.h + 11);
  }
  ctx.fillText('step', box.x + box.w + 8, box.y + box.h + 11);
}

/**
 * The final equity of earlier episodes, oldest left: train as discs, test as diamonds, a
 * dotted line at the starting equity.
 * @param {CanvasRenderingContext2D} ctx
 * @param {number} width
 * @param {number} height
 * @param {import('./recorder.js').EpisodeResult[]} history
 * @returns {{points: {x:number, y:number, type:number}[]}} newest last, at most 8
 */
export function drawHistory(ctx, width, height, history) {
  ctx.clearRect(0, 0, width, height);
  ctx.font = '11px "DejaVu Sans Mono", ui-monospace, monospace';
  ctx.textBaseline = 'middle';
  const box = { x: 6, y: 8, w: width - 6 - 66, h: height - 16 };
  if (!history.length) {
    ctx.fillStyle = COLORS.axis;
    ctx.fillText('no episode ended yet', box.x + 4, height / 2);
    return { points: [] };
  }
  const shown = history.slice(-Math.max(2, Math.floor(box.w / 6)));
  let lo = Infinity;
  let hi = -Infinity;
  for (const e of shown) {
    lo = Math.min(lo, e.final, e.initial);
    hi = Math.max(hi, e.final, e.initial);
  }
  [lo, hi] = padRange(lo, hi, Math.abs(hi) * 0.002 || 1);
  const y = yScale(lo, hi, box);
  gridAndLabels(ctx, box, lo, hi, y, equityLabel, 11);
  const dx = box.w / Math.max(shown.length, 10);
  const px = (i) => box.x + (i + 0.5) * dx;
  const initials = new Set(shown.map((e) => e.initial));
  for (const v of initials) hline(ctx, box.x, box.x + box.w, Math.round(y(v)) + 0.5, COLORS.axis, [2, 4]);
  ctx.strokeStyle = 'rgba(86, 180, 233, 0.45)';
  ctx.lineWidth = 1;
  ctx.beginPath();
  let started = false;
  shown.forEach((e, i) => {
    if (e.type !== 0) return;
    if (started) ctx.lineTo(px(i), y(e.final));
    else { ctx.moveTo(px(i), y(e.final)); started = true; }
  });
  ctx.stroke();
  const r = Math.max(3, Math.min(5, dx * 0.4));
  const points = [];
  shown.forEach((e, i) => {
    const cx = px(i);
    const cy = y(e.final);
    ctx.lineWidth = 1.5;
    ctx.strokeStyle = COLORS.outline;
    ctx.beginPath();
    if (e.type === 0) {
      ctx.fillStyle = COLORS.train;
      ctx.arc(cx, cy, r, 0, 2 * Math.PI);
    } else {
      ctx.fillStyle = COLORS.test;
      const d = r * 1.35;
      ctx.moveTo(cx, cy - d);
      ctx.lineTo(cx + d, cy);
      ctx.lineTo(cx, cy + d);
      ctx.lineTo(cx - d, cy);
      ctx.closePath();
    }
    ctx.fill();
    ctx.stroke();
    points.push({ x: cx, y: cy, type: e.type });
  });
  return { points: points.slice(-8) };
}

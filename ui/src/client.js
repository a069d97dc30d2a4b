/**
 * Browser entry: read the query string, run the simulation behind an EngineLink, and show it to
 * a person: chart, statistics, episode history, the positions-and-orders table, the connection.
 *
 * The run never waits for the page: a message is answered as soon as it is handled (unless the
 * person set a speed limit), and the page redraws at most once per animation frame, only after
 * something changed, within a small share of its time, and not at all while it is hidden; a
 * frozen view redraws only the line that says so.
 */
import { EngineLink } from './connection.js';
import { RequestHandler } from './handler.js';
import { Simulation } from './sim.js';
import { parseSettings } from './config.js';
import { drawChart, drawHistory } from './chart.js';
import { Recorder } from './recorder.js';
import { Pacer, SPEED_LIMITS } from './pacer.js';
import { money, percent, price, signedMoney, units } from './format.js';

const STATE_CLASS = { ready: 'ready', connecting: 'connecting', handshake: 'connecting' };
const STATE_TEXT = {
  idle: 'starting', connecting: 'connecting', handshake: 'awaiting handshake', ready: 'connected',
  waiting: 'disconnected', stopped: 'stopped',
};
const MAX_ROWS = 100;
// While the run is fast, drawing may take at most this share of the page's time: after a
// redraw that took t ms the next one waits t / DRAW_SHARE ms (and at least one frame), but
// never more than MAX_DRAW_GAP_MS, since t is wall time and swells when the machine is busy.
const DRAW_SHARE = 0.05;
const MAX_DRAW_GAP_MS = 250;
const $ = (id) => document.getElementById(id);

const ESCAPES = { '<': '&lt;', '>': '&gt;', '&': '&amp;', '"': '&quot;' };
const escapeHtml = (text) => text.replace(/[<>&"]/g, (c) => ESCAPES[c]);
const episodeName = (e) => `${e.type ? 'test' : 'train'} #${e.index}`;
const tone = (v) => (v > 0 ? 'gain' : v < 0 ? 'lossy' : '');

/** Fit a canvas's backing store to its CSS size; true when it changed (and was cleared). */
function fitCanvas(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.round(canvas.clientWidth * ratio);
  const h = Math.round(canvas.clientHeight * ratio);
  if (canvas.width === w && canvas.height === h) return false;
  canvas.width = w;
  canvas.height = h;
  return true;
}

function context(canvas) {
  const ctx = canvas.getContext('2d');
  const ratio = window.devicePixelRatio || 1;
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  return ctx;
}

/** Set a text (and class) only when it changed, so that an unchanged page costs no layout. */
function setText(el, text, className) {
  if (el.textContent !== text) el.textContent = text;
  if (className !== undefined && el.className !== className) el.className = className;
}

function levelsText(p, fmt) {
  const parts = [];
  if (Number.isFinite(p.takeProfit)) parts.push(`TP ${fmt(p.takeProfit)}`);
  if (Number.isFinite(p.stopLoss)) parts.push(`SL ${fmt(p.stopLoss)}`);
  if (Number.isFinite(p.trailStop)) parts.push(`TS ${fmt(p.trailStop)}`);
  return parts.join(' · ') || '—';
}

function orderLevelsText(o) {
  const parts = [];
  if (Number.isFinite(o.tpFrac)) parts.push(`TP ${percent(o.tpFrac, 2)}`);
  if (Number.isFinite(o.slFrac)) parts.push(`SL ${percent(o.slFrac, 2)}`);
  if (Number.isFinite(o.trailFrac)) parts.push(`TS ${percent(o.trailFrac, 2)}`);
  return parts.length ? `${parts.join(' · ')} of fill` : '—';
}

const sideCell = (side) => (side > 0 ? '▲ buy' : '▼ sell');
const expiryCell = (step) => (Number.isFinite(step) ? `step ${step}` : '—');

/** The rows of the positions-and-orders table as HTML (numbers only, nothing to escape). */
function bookHtml(sim) {
  const fmt = (v) => price(v, 0.01);
  const rows = [];
  for (const p of sim.positions.values()) {
    if (rows.length >= MAX_ROWS) break;
    const pnl = p.side * (sim.price - p.entry) * p.units;
    rows.push(`<tr data-id="${p.id}"><td>#${p.id}</td><td>position</td><td>${sideCell(p.side)}</td>`
      + `<td class="num">${units(p.units)}</td><td class="num">${fmt(p.entry)}</td><td class="num">${fmt(sim.price)}</td>`
      + `<td class="num ${tone(pnl)}">${signedMoney(pnl)}</td><td>${levelsText(p, fmt)}</td>`
      + `<td>${expiryCell(p.expiryStep)}</td></tr>`);
  }
  for (const o of sim.orders.values()) {
    if (rows.length >= MAX_ROWS) break;
    rows.push(`<tr class="order" data-id="${o.id}"><td>#${o.id}</td>`
      + `<td>${o.type > 0 ? 'limit' : 'stop'} order</td><td>${sideCell(o.side)}</td>`
      + `<td class="num">${units(o.units)}</td><td class="num">@ ${fmt(o.price)}</td><td class="num">${fmt(sim.price)}</td>`
      + `<td class="num">pending</td><td>${orderLevelsText(o)}</td><td>${expiryCell(o.expiryStep)}</td></tr>`);
  }
  const more = sim.positions.size + sim.orders.size - rows.length;
  if (more > 0) rows.push(`<tr><td colspan="9" class="empty">and ${more} more</td></tr>`);
  return rows.length ? rows.join('') : '<tr><td colspan="9" class="empty">no open position and no pending order</td></tr>';
}

/** Steps per second over the last two seconds of samples. */
class Rate {
  samples = [];

  update(now, steps) {
    this.samples.push([now, steps]);
    while (this.samples.length > 2 && now - this.samples[1][0] > 2000) this.samples.shift();
    const [t0, s0] = this.samples[0];
    return now - t0 >= 250 ? ((steps - s0) * 1000) / (now - t0) : NaN;
  }
}

/** The page's settings from the query string, or null after showing why they are refused. */
function readStart() {
  const params = Object.fromEntries(new URLSearchParams(window.location.search));
  const url = params.ws ?? `ws://${window.location.hostname || '127.0.0.1'}:8765`;
  try {
    const settings = parseSettings(params, ['ws', 'limit']);
    let limit = 0;
    if (params.limit) {
      limit = Number(params.limit);
      if (!(Number.isFinite(limit) && limit >= 0)) throw new RangeError(`bad limit: ${params.limit}`);
    }
    return { url, settings, limit };
  } catch (e) {
    $('problem').hidden = false;
    $('problem').textContent = `Cannot start: ${e.message}`;
    return null;
  }
}

function pageElements() {
  return {
    chart: $('chart'), history: $('history'), status: $('status'), link: $('link'), problem: $('problem'),
    hint: $('hint'), book: $('book'), bookCount: $('book-count'), speed: $('speed'),
    speedText: $('speed-text'), freeze: $('freeze'), banner: $('frozen-banner'),
    wrap: document.querySelector('.canvas-wrap'),
    episodeName: $('episode-name'), historyText: $('history-text'), instrument: $('instrument'),
    stats: Object.fromEntries([...document.querySelectorAll('[data-stat]')].map((d) => [d.dataset.stat, d])),
  };
}

// ------------------------------------------------------------------ connection and dispatch

/**
 * The connection to the engine: every request is handled by the simulation's RequestHandler,
 * and its reply leaves through the pacer (held back only under a speed limit).
 */
function connect(page, url, settings) {
  const { sim, pacer } = page;
  return new EngineLink({
    url,
    handler: new RequestHandler(sim, { syncPolicy: settings.syncPolicy }),
    createSocket: (target) => {
      const socket = new WebSocket(target);
      const send = socket.send.bind(socket);
      socket.send = (frame) => pacer.send(frame, send);
      return socket;
    },
    onChange: () => dispatched(page),
  });
}

/** After each handled message or change of connection state: record, then redraw. */
function dispatched(page) {
  page.recorder.update();
  if (page.link.state !== 'ready') page.pacer.clear();
  page.invalidate();
}

// ------------------------------------------------------------------ drawing

function renderStatus(page, now) {
  const { el, view, link, sim, pacer, rate } = page;
  view.stepsPerSecond = rate.update(now, pacer.steps);
  const rateText = Number.isFinite(view.stepsPerSecond) ? `${Math.round(view.stepsPerSecond)} steps/s` : '— steps/s';
  const state = STATE_TEXT[link.state] ?? link.state;
  setText(el.status, `${state} · ${episodeName(sim.episode)} step ${sim.step}/${sim.episode.length} · ${rateText}`,
    `status ${STATE_CLASS[link.state] ?? 'disconnected'}`);
  setText(el.link, `${link.url} · requests ${link.handler.served} · last ${link.handler.lastName || '—'}`);
  el.hint.hidden = link.state === 'ready';

  const waiting = link.state === 'waiting';
  const problem = link.state !== 'ready' && link.error;
  el.problem.hidden = !problem;
  if (problem) {
    const left = Math.max(0, (link.retryAt - Date.now()) / 1000);
    const next = waiting ? `retrying in <span class="countdown">${left.toFixed(1)} s</span>` : 'reconnecting now';
    const why = escapeHtml(link.error.charAt(0).toUpperCase() + link.error.slice(1));
    const attempt = link.failures + (waiting ? 1 : 0);
    const html = `${why}. Engine at <code>${escapeHtml(link.url)}</code>: ${next} (attempt ${attempt}).`;
    if (view.problemHtml !== html) {
      view.problemHtml = html;
      el.problem.innerHTML = html;
    }
  }
  // The countdown moves, and the rate falls to 0 once the run stops, while nothing else happens.
  if ((waiting || view.stepsPerSecond > 0) && view.countdown === null) {
    view.countdown = setTimeout(() => { view.countdown = null; page.invalidate(); }, waiting ? 200 : 1000);
  }
  if (view.frozen && view.shown) {
    const s = view.shown;
    const live = sim.episode === s.episode ? `now step ${sim.step}` : `now ${episodeName(sim.episode)} step ${sim.step}`;
    setText(el.banner,
      `❚❚ View frozen at ${episodeName(s.episode)} step ${s.step}. The run goes on (${live}). Press F to resume.`);
  }
}

function renderStats({ el, sim }) {
  const s = sim.stats;
  const h = sim.equityHistory;
  const reward = sim.step >= 1 && h[sim.step - 1] !== undefined ? h[sim.step] - h[sim.step - 1] : NaN;
  const unrealised = sim.unrealised;
  const values = {
    step: [`${sim.step} / ${sim.episode.length}${sim.done ? ' (done)' : ''}`, ''],
    equity: [money(sim.balance + unrealised), ''],
    realised: [signedMoney(s.realised), tone(s.realised)],
    unrealised: [signedMoney(unrealised), tone(unrealised)],
    trades: [String(s.closed), ''],
    winRate: [s.closed ? `${percent(s.wins / s.closed)} (${s.wins}/${s.closed})` : '—', ''],
    drawdown: [percent(s.maxDrawdown, 2), ''],
    costs: [money(s.spreadPaid + s.commissionPaid), ''],
    reward: [signedMoney(reward), tone(reward)],
  };
  for (const [key, [text, cls]] of Object.entries(values)) setText(el.stats[key], text, cls);
  setText(el.episodeName, episodeName(sim.episode));
  const source = sim.candleSource === 'init_candles' ? 'candles from the engine' : 'generated candles';
  setText(el.instrument, `${sim.config.instrument} · ${source}`);
}

function renderBook({ el, view, sim }) {
  const html = bookHtml(sim);
  if (html !== view.bookHtml) {
    view.bookHtml = html;
    el.book.innerHTML = html;
  }
  setText(el.bookCount, `${sim.positions.size} open · ${sim.orders.size} pending`);
}

function renderHistory({ el, view, recorder }, resized) {
  if (!resized && view.historyDrawn === recorder.ended) return;
  view.historyDrawn = recorder.ended;
  const { points } = drawHistory(context(el.history), el.history.clientWidth, el.history.clientHeight, recorder.history);
  view.points = points;
  const last = recorder.history[recorder.history.length - 1];
  const trains = recorder.history.filter((e) => e.type === 0).length;
  setText(el.historyText, last
    ? `· ${trains} train, ${recorder.history.length - trains} test · `
      + `last ${episodeName(last)} ${signedMoney(last.final - last.initial)} (costs ${money(last.costs)})`
    : '');
}

/** One redraw: the status line always, the rest unless the view is frozen. */
function render(page) {
  const { el, view, link, sim, recorder } = page;
  view.pending = false;
  if (view.held) return;
  view.frames += 1;
  const now = performance.now();
  // Text first: it may move the canvases, which are then drawn at their new size.
  renderStatus(page, now);
  if (!view.frozen) {
    renderStats(page);
    renderBook(page);
    const resized = fitCanvas(el.chart);
    const { marks } = drawChart(context(el.chart), el.chart.clientWidth, el.chart.clientHeight, sim, recorder);
    view.marks = marks;
    renderHistory(page, fitCanvas(el.history) || resized);
    view.draws += 1;
    view.shown = {
      episode: sim.episode, step: sim.step, candles: sim.cursor - sim.episode.start + 1,
      positions: sim.positions.size, orders: sim.orders.size, equityPoints: sim.equityHistory.length,
      ended: recorder.ended,
    };
  }
  view.nextDraw = now + Math.min(MAX_DRAW_GAP_MS, (performance.now() - now) / DRAW_SHARE);
  view.published = {
    connected: link.state === 'ready', state: link.state, served: link.handler.served, last: link.handler.lastName,
    liveStep: sim.step, retryAt: link.retryAt,
  };
}

/**
 * The drawing schedule: page.invalidate() asks for a redraw, which comes at the next animation
 * frame (none while the page is hidden), once however many changes came before it, and not
 * before the share of time that the last redraw allows.
 */
function scheduleDrawing(page) {
  const { view } = page;
  const draw = () => render(page);
  page.invalidate = () => {
    if (view.pending) return;
    view.pending = true;
    const wait = view.nextDraw - performance.now();
    if (wait > 1) setTimeout(() => requestAnimationFrame(draw), wait);
    else requestAnimationFrame(draw);
  };
  // A canvas that changes size (window, table or message box) is drawn again at its new size.
  const resizes = new ResizeObserver(page.invalidate);
  resizes.observe(page.el.chart);
  resizes.observe(page.el.history);
}

// ------------------------------------------------------------------ controls

/** The speed limit, the freeze button and their keys; returns setLimit for the start. */
function bindControls(page) {
  const { el, view, pacer } = page;

  function setLimit(limit) {
    pacer.setLimit(limit);
    // The slider shows the nearest step of the ladder to a limit from the query string.
    const distance = (v) => (v ? Math.abs(v - limit) : Infinity);
    const index = limit === 0 ? SPEED_LIMITS.length - 1
      : SPEED_LIMITS.reduce((best, v, i) => (distance(v) < distance(SPEED_LIMITS[best]) ? i : best), 0);
    el.speed.value = String(index);
    const text = limit ? `${limit} steps/s` : 'no limit';
    el.speed.setAttribute('aria-valuetext', text);
    el.speedText.value = limit ? `≤ ${text}` : text;
    el.speedText.classList.toggle('limited', limit > 0);
    page.invalidate();
  }

  function shiftLimit(by) {
    const index = Math.min(SPEED_LIMITS.length - 1, Math.max(0, Number(el.speed.value) + by));
    setLimit(SPEED_LIMITS[index]);
  }

  function setFrozen(frozen) {
    view.frozen = frozen;
    el.freeze.setAttribute('aria-pressed', String(frozen));
    el.banner.hidden = !frozen;
    el.wrap.classList.toggle('frozen', frozen);
    page.invalidate();
  }

  el.speed.addEventListener('input', () => setLimit(SPEED_LIMITS[Number(el.speed.value)]));
  el.freeze.addEventListener('click', () => setFrozen(!view.frozen));
  document.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    const key = event.key.toLowerCase();
    if (key === 'f') setFrozen(!view.frozen);
    else if (key === '-' || key === '_') shiftLimit(-1);
    else if (key === '+' || key === '=') shiftLimit(1);
    else if (key === '0') setLimit(0);
    else return;
    event.preventDefault();
  });
  // Nobody watches a hidden page: its replies leave at once, whatever the limit.
  document.addEventListener('visibilitychange', () => pacer.setBypass(document.hidden));
  pacer.setBypass(document.hidden);
  return setLimit;
}

// ------------------------------------------------------------------ for launchers and tests

/**
 * window.__uiState: what the page last showed, for tests and launchers that drive a real
 * browser (ui/browser.mjs reads it), built only when read, so that it costs the page nothing
 * otherwise. window.__uiHold(on): for launchers that take a picture, hold (true) and release
 * (false) every redraw, so that the screenshot shows the moment that was last drawn; returns
 * whether anything was drawn.
 */
function exposeState(page) {
  const { el, view, recorder, pacer } = page;
  Object.defineProperty(window, '__uiState', {
    configurable: true,
    get() {
      if (!view.shown) return null;
      const { episode, ended, ...shown } = view.shown;
      const box = el.chart.getBoundingClientRect();
      const hbox = el.history.getBoundingClientRect();
      const root = document.documentElement;
      const visible = (node) => !node.hidden && node.getClientRects().length > 0;
      const inView = (node) => {
        const r = node.getBoundingClientRect();
        return r.width > 0 && r.top >= 0 && r.left >= 0
          && r.bottom <= window.innerHeight + 0.5 && r.right <= window.innerWidth + 0.5;
      };
      return {
        ...view.published,
        ...shown,
        frames: view.frames,
        draws: view.draws,
        episode: episodeName(episode),
        history: recorder.history.filter((e) => e.seq <= ended)
          .map((e) => ({ type: e.type ? 'test' : 'train', index: e.index, final: e.final, trades: e.trades })),
        frozen: view.frozen,
        limit: pacer.limit,
        speedText: el.speedText.value,
        stepsPerSecond: view.stepsPerSecond,
        hint: visible(el.hint),
        problem: el.problem.hidden ? '' : el.problem.textContent,
        banner: el.banner.hidden ? '' : el.banner.textContent,
        stats: Object.fromEntries(Object.entries(el.stats).map(([k, d]) => [k, d.textContent])),
        rows: [...el.book.rows].map((r) => [...r.cells].map((c) => c.textContent)),
        marks: view.marks.map((m) => ({ kind: m.kind, x: box.left + m.x, y: box.top + m.y })),
        historyPoints: view.points.map((p) => ({ type: p.type ? 'test' : 'train', x: hbox.left + p.x, y: hbox.top + p.y })),
        layout: {
          viewport: [window.innerWidth, window.innerHeight],
          inView: Object.fromEntries(['chart', 'stats', 'history', 'book', 'speed', 'freeze']
            .map((id) => [id, inView($(id))])),
          scrolls: root.scrollHeight > window.innerHeight || root.scrollWidth > window.innerWidth,
        },
      };
    },
  });
  window.__uiHold = (on) => {
    view.held = Boolean(on);
    if (!on) page.invalidate();
    return view.shown !== null;
  };
}

function main() {
  const start = readStart();
  if (!start) return;
  const sim = new Simulation(start.settings.sim);
  /** Everything the parts of the page share. */
  const page = {
    sim,
    recorder: new Recorder(sim),
    pacer: new Pacer(),
    rate: new Rate(),
    el: pageElements(),
    view: {
      frozen: false, frames: 0, draws: 0, pending: false, countdown: null, historyDrawn: -1, bookHtml: '', problemHtml: '',
      shown: null, marks: [], points: [], stepsPerSecond: NaN, nextDraw: 0,
    },
    link: null,
    invalidate: null,
  };
  page.link = connect(page, start.url, start.settings);
  scheduleDrawing(page);
  const setLimit = bindControls(page);
  exposeState(page);

  setLimit(start.limit);
  page.link.start();
  page.invalidate();
}

main();

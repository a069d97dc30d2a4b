/**
 * Browser entry: read the query string, run the simulation behind an EngineLink, and redraw the
 * chart at most once per animation frame, only after something changed.
 */
import { EngineLink } from './connection.js';
import { RequestHandler } from './handler.js';
import { Simulation } from './sim.js';
import { parseSettings } from './config.js';
import { drawChart } from './chart.js';

const STATE_CLASS = { ready: 'ready', connecting: 'connecting', handshake: 'connecting' };
const STATE_TEXT = {
  connecting: 'connecting', handshake: 'awaiting handshake', ready: 'connected',
  waiting: 'disconnected, retrying', stopped: 'stopped',
};

function showProblem(text) {
  const el = document.getElementById('problem');
  el.hidden = !text;
  el.textContent = text;
}

function statusLine(link, sim) {
  const episode = `${sim.episode.type ? 'test' : 'train'} #${sim.episode.index} step ${sim.step}/${sim.episode.length}`;
  const state = STATE_TEXT[link.state] ?? link.state;
  return `${state} · ${link.url} · requests ${link.handler.served} · last ${link.handler.lastName || '—'} · ${episode}`;
}

/**
 * What the page last drew, for tests and launchers that drive a real browser (ui/browser.mjs
 * reads it): updated after every redraw, never read by the page itself.
 */
function publishState(link, sim) {
  window.__uiState = {
    connected: link.state === 'ready',
    served: link.handler.served,
    last: link.handler.lastName,
    frames: (window.__uiState?.frames ?? 0) + 1,
    candles: sim.cursor - sim.episode.start + 1,
    positions: sim.positions.size,
    orders: sim.orders.size,
    equityPoints: sim.equityHistory.length,
  };
}

function main() {
  const params = Object.fromEntries(new URLSearchParams(window.location.search));
  const url = params.ws ?? `ws://${window.location.hostname || '127.0.0.1'}:8765`;
  let settings;
  try {
    settings = parseSettings(params);
  } catch (e) {
    showProblem(`Cannot start: ${e.message}`);
    return;
  }
  const sim = new Simulation(settings.sim);
  const canvas = document.getElementById('chart');
  const status = document.getElementById('status');
  const ctx = canvas.getContext('2d');
  let pending = false;

  const link = new EngineLink({
    url,
    handler: new RequestHandler(sim, { syncPolicy: settings.syncPolicy }),
    createSocket: (target) => new WebSocket(target),
    onChange: invalidate,
  });

  function invalidate() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(render);
  }

  function render() {
    pending = false;
    const ratio = window.devicePixelRatio || 1;
    const { clientWidth: w, clientHeight: h } = canvas;
    if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
      canvas.width = Math.round(w * ratio);
      canvas.height = Math.round(h * ratio);
    }
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    drawChart(ctx, w, h, sim);
    status.textContent = statusLine(link, sim);
    status.className = `status ${STATE_CLASS[link.state] ?? 'disconnected'}`;
    showProblem(link.state === 'ready' || !link.error ? '' : link.error);
    publishState(link, sim);
  }

  window.addEventListener('resize', invalidate);
  link.start();
  invalidate();
}

main();

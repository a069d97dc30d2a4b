#!/usr/bin/env node
/**
 * The simulation without a browser:
 *   node ui/headless.mjs ws://127.0.0.1:8765 [--seed N] [--sync deferred|eager]
 *        [--episode-length N] [--train-episodes N] [--test-episodes N] [--initial-equity X]
 *        [--ohlc-window N] [--once] [--quiet]
 * Connects with Origin http://127.0.0.1, reconnects with backoff, exits on SIGINT/SIGTERM
 * (and, with --once, when the first engine session closes).
 */
import { pathToFileURL } from 'node:url';
import { WebSocket } from 'ws';
import { EngineLink } from './src/connection.js';
import { RequestHandler } from './src/handler.js';
import { Simulation } from './src/sim.js';
import { parseSettings } from './src/config.js';

export const ORIGIN = 'http://127.0.0.1';

/**
 * Start the headless UI against an engine.
 * @param {{url: string, settings?: Record<string, string>, once?: boolean,
 *          initialDelayMs?: number, maxDelayMs?: number,
 *          onChange?: (link: EngineLink) => void}} options
 * @returns {{link: EngineLink, sim: Simulation, handler: RequestHandler}}
 */
export function startHeadless({ url, settings = {}, once = false, initialDelayMs, maxDelayMs, onChange }) {
  const { sim: simConfig, syncPolicy } = parseSettings(settings);
  const sim = new Simulation(simConfig);
  const handler = new RequestHandler(sim, { syncPolicy });
  const link = new EngineLink({
    url,
    handler,
    once,
    initialDelayMs,
    maxDelayMs,
    onChange,
    createSocket: (target) => new WebSocket(target, { origin: ORIGIN, perMessageDeflate: false }),
  });
  return { link: link.start(), sim, handler };
}

/**
 * @param {string[]} argv arguments after the script name
 * @returns {{url: string, settings: Record<string, string>, once: boolean, quiet: boolean}}
 */
export function parseArgs(argv) {
  const out = { url: '', settings: {}, once: false, quiet: false };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--once') out.once = true;
    else if (arg === '--quiet') out.quiet = true;
    else if (arg.startsWith('--')) {
      if (i + 1 >= argv.length) throw new RangeError(`${arg} needs a value`);
      out.settings[arg.slice(2).replaceAll('-', '_')] = argv[++i];
    } else if (!out.url) out.url = arg;
    else throw new RangeError(`unexpected argument: ${arg}`);
  }
  if (!/^wss?:\/\//.test(out.url)) throw new RangeError('usage: node ui/headless.mjs ws://HOST:PORT [--seed N] [--sync deferred|eager] [--once]');
  return out;
}

function main() {
  let link;
  try {
    const args = parseArgs(process.argv.slice(2));
    let lastState = '';
    ({ link } = startHeadless({
      ...args,
      onChange: (l) => {
        if (args.quiet || l.state === lastState) return;
        lastState = l.state;
        console.error(`[ui] ${l.state}${l.error ? `: ${l.error}` : ''} (requests served: ${l.handler.served})`);
      },
    }));
  } catch (e) {
    console.error(e.message);
    process.exit(2);
  }
  const stop = () => link.stop();
  process.once('SIGINT', stop);
  process.once('SIGTERM', stop);
  link.stopped.then(() => process.exit(0));
}

if (import.meta.url === pathToFileURL(process.argv[1] ?? '').href) main();

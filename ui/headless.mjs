#!/usr/bin/env node
/**
 * The simulation without a browser; `node ui/headless.mjs --help` prints its usage (USAGE).
 * One process serves every engine URL given, each with a simulation of its own; the i-th URL
 * (from 0) gets the seed N + i, so the first keeps N. Connects with Origin http://127.0.0.1,
 * reconnects with backoff, exits on SIGINT/SIGTERM (and, with --once, when the first session
 * of every URL has closed; with --until-stdin-ends, when its standard input ends, so that a
 * parent holding the other end of a pipe takes the runner with it when it dies).
 */
import './node-version.cjs'; // first: a Node too old stops here, saying what to do
import { pathToFileURL } from 'node:url';
import { EngineLink } from './src/connection.js';
import { NodeWebSocket } from './src/node-websocket.js';
import { RequestHandler } from './src/handler.js';
import { parseSettings } from './src/config.js';
import { Simulation, DEFAULT_CONFIG } from './src/sim.js';

export const ORIGIN = 'http://127.0.0.1';

const D = DEFAULT_CONFIG;
export const USAGE = `usage: node ui/headless.mjs ws://HOST:PORT [ws://HOST:PORT ...] [options]
Serves each engine URL with a simulation of its own; reconnects until stopped (SIGINT, SIGTERM).
  --seed N                 seed of the first URL's simulation, N + i for the i-th (default ${D.seed})
  --sync deferred|eager    the sync policy reported to the engine (default deferred)
  --episode-length N       candles per episode (default ${D.episodeLength})
  --train-episodes N       train episodes (default ${D.trainEpisodes})
  --test-episodes N        test episodes (default ${D.testEpisodes})
  --initial-equity X       equity at the start of every episode (default ${D.initialEquity})
  --ohlc-window N          candles returned by get_ohlc (default ${D.ohlcWindow})
  --market NAME            random_walk, trend or mean_revert (default ${D.market})
  --spread X               spread paid on every fill, a fraction of the price (default ${D.spread})
  --commission X           commission on every fill, a fraction of its value (default ${D.commission})
  --NAME VALUE             any other setting of ui/PROTOCOL.md (the markets' parameters)
  --once                   exit once the first session of every URL has ended (one-off
                           checks such as py_engine_native_env.check_ui)
  --quiet                  no connection lines on standard error
  --until-stdin-ends       exit when standard input ends
  --help                   print this text`;

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
    binaryType: 'nodebuffer',
    createSocket: (target) => new NodeWebSocket(target, { origin: ORIGIN }),
  });
  return { link: link.start(), sim, handler };
}

/**
 * @param {string[]} argv arguments after the script name
 * @returns {{url: string, urls: string[], settings: Record<string, string>, once: boolean,
 *            quiet: boolean, untilStdinEnds: boolean, help: boolean}} url is the first of
 *            urls; with --help anywhere, only help is set
 */
export function parseArgs(argv) {
  const out = { url: '', urls: [], settings: {}, once: false, quiet: false, untilStdinEnds: false, help: false };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--help' || arg === '-h') return { ...out, help: true };
    if (arg === '--once') out.once = true;
    else if (arg === '--quiet') out.quiet = true;
    else if (arg === '--until-stdin-ends') out.untilStdinEnds = true;
    else if (arg.startsWith('--')) {
      if (i + 1 >= argv.length) throw new RangeError(`${arg} needs a value`);
      out.settings[arg.slice(2).replaceAll('-', '_')] = argv[++i];
    } else if (/^wss?:\/\//.test(arg)) out.urls.push(arg);
    else throw new RangeError(`unexpected argument: ${arg}`);
  }
  if (!out.urls.length) throw new RangeError(USAGE);
  [out.url] = out.urls;
  return out;
}

/**
 * The settings of the i-th simulation of one process: the seed moves on by i.
 * @param {Record<string, string>} settings
 * @param {number} i
 */
export function settingsFor(settings, i) {
  if (i === 0) return settings;
  const seed = Number(settings.seed ?? DEFAULT_CONFIG.seed) + i;
  return { ...settings, seed: String(seed >>> 0) };
}

function main() {
  const links = [];
  let args;
  try {
    args = parseArgs(process.argv.slice(2));
    if (args.help) {
      console.log(USAGE);
      process.exit(0);
    }
    args.urls.forEach((url, i) => {
      const settings = settingsFor(args.settings, i);
      parseSettings(settings); // every bad setting is reported before anything connects
      let lastState = '';
      const prefix = args.urls.length > 1 ? `[ui ${url}]` : '[ui]';
      links.push(startHeadless({
        url,
        settings,
        once: args.once,
        onChange: (l) => {
          if (args.quiet || l.state === lastState) return;
          lastState = l.state;
          console.error(`${prefix} ${l.state}${l.error ? `: ${l.error}` : ''} (requests served: ${l.handler.served})`);
        },
      }).link);
    });
  } catch (e) {
    for (const link of links) link.stop();
    console.error(e.message);
    process.exit(2);
  }
  const stop = () => { for (const link of links) link.stop(); };
  process.once('SIGINT', stop);
  process.once('SIGTERM', stop);
  if (args.untilStdinEnds) {
    process.stdin.on('end', stop).on('error', stop).resume();
  }
  Promise.all(links.map((link) => link.stopped)).then(() => process.exit(0));
}

if (import.meta.url === pathToFileURL(process.argv[1] ?? '').href) main();

#!/usr/bin/env node
/**
 * Opens the UI page in Debian's Chromium, driven by playwright-core, and keeps it open:
 *
 *   node ui/browser.mjs --page URL [--screenshot FILE [--screenshot-when trading]]
 *                      [--viewport WxH] [--headed] [--state]
 *
 * stdout, one line each: "ready" once the page has loaded; nothing else unless --state.
 * SIGTERM or SIGINT: takes the --screenshot (if given and not taken yet), closes the browser,
 * exits 0. With --screenshot-when trading the picture is taken instead at the first moment the
 * page shows a training episode past its first third with closed trades and an open position,
 * after at least one earlier episode ended (so that every part of the page has something to
 * show), with the page's redraws held while it is taken; at exit only if that moment never
 * came. --viewport sets the page size (default 1280x800).
 * Exit 1 when the browser cannot start, the page cannot load or the browser goes away;
 * exit 2 on bad arguments. Page console errors and crashes go to stderr.
 *
 * --state opens a command channel on stdin; every command line gets exactly one stdout line:
 *   state             -> the page's window.__uiState as one line of JSON (null before the
 *                        page's first redraw)
 *   screenshot FILE   -> "saved FILE" once the PNG is written
 *   press KEY         -> "pressed KEY" after the key went down and up (Playwright key names)
 *   pixel X Y         -> "[r,g,b,a]" of the canvas under the page point X,Y (CSS pixels)
 *   viewport W H      -> "viewport W H" once the page has that size
 *   anything else     -> "error <why>" (also for a command that failed)
 * End of stdin then stops the launcher as SIGTERM does, so it never outlives its driver.
 * Without --state, stdin is not read (a launcher may leave it at a terminal or /dev/null).
 */
import './node-version.cjs'; // first: a Node too old stops here, saying what to do
import { createInterface } from 'node:readline';
import { mkdir } from 'node:fs/promises';
import path from 'node:path';
import { chromium } from 'playwright-core';

const CHROMIUM = '/usr/bin/chromium';
// Headless on a closed network: no GPU, no QUIC and none of Chromium's background services,
// whose refused connections would otherwise pile up at every start.
const FLAGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const LAUNCH_TIMEOUT_MS = 30_000;
const LOAD_TIMEOUT_MS = 30_000;
const VIEWPORT = { width: 1280, height: 800 };
const WHEN = new Set(['exit', 'trading']);
const POLL_MS = 100;

const USAGE = 'usage: node ui/browser.mjs --page URL [--screenshot FILE [--screenshot-when exit|trading]] '
  + '[--viewport WxH] [--headed] [--state]';

/**
 * @param {string[]} argv arguments after the script name
 * @returns {{page: string, screenshot: string|null, when: string,
 *            viewport: {width: number, height: number}, headed: boolean, state: boolean}}
 */
function parseArgs(argv) {
  const options = { page: '', screenshot: null, when: 'exit', viewport: VIEWPORT, headed: false, state: false };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--headed') options.headed = true;
    else if (arg === '--state') options.state = true;
    else if ((arg === '--page' || arg === '--screenshot') && i + 1 < argv.length) options[arg.slice(2)] = argv[++i];
    else if (arg === '--screenshot-when' && WHEN.has(argv[i + 1])) options.when = argv[++i];
    else if (arg === '--viewport' && /^\d+x\d+$/.test(argv[i + 1] ?? '')) {
      const [width, height] = argv[++i].split('x').map(Number);
      options.viewport = { width, height };
    } else throw new Error(`unexpected argument: ${arg}`);
  }
  if (!options.page) throw new Error('--page URL is required');
  return options;
}

async function screenshot(page, file) {
  await mkdir(path.dirname(path.resolve(file)), { recursive: true });
  await page.screenshot({ path: file });
}

/** RGBA of the canvas under a page point, read in the page. */
function canvasPixel([x, y]) {
  for (const canvas of document.querySelectorAll('canvas')) {
    const r = canvas.getBoundingClientRect();
    if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) continue;
    const px = Math.floor(((x - r.left) * canvas.width) / r.width);
    const py = Math.floor(((y - r.top) * canvas.height) / r.height);
    return [...canvas.getContext('2d').getImageData(px, py, 1, 1).data];
  }
  throw new Error(`no canvas at ${x},${y}`);
}

/** The moment --screenshot-when trading waits for, judged from window.__uiState. */
function trading() {
  const s = window.__uiState;
  const trades = Number.parseInt(s?.stats?.trades ?? '0', 10);
  const [step, length] = (s?.stats?.step ?? '0 / 0').split(' / ').map((v) => Number.parseInt(v, 10));
  return Boolean(s && s.connected && !s.frozen && s.episode.startsWith('train') && s.history.length >= 1
    && trades >= 2 && s.positions >= 1 && step * 3 >= length);
}

/** Answer one command line of the --state channel; returns the reply line. */
async function command(page, line) {
  const [verb, ...rest] = line.trim().split(/\s+/);
  const numbers = rest.map(Number);
  try {
    if (verb === 'state') return JSON.stringify(await page.evaluate(() => window.__uiState ?? null));
    if (verb === 'screenshot' && rest.length) {
      const file = rest.join(' ');
      await screenshot(page, file);
      return `saved ${file}`;
    }
    if (verb === 'press' && rest.length === 1) {
      await page.keyboard.press(rest[0]);
      return `pressed ${rest[0]}`;
    }
    if (verb === 'pixel' && rest.length === 2 && numbers.every(Number.isFinite)) {
      return JSON.stringify(await page.evaluate(canvasPixel, numbers));
    }
    if (verb === 'viewport' && rest.length === 2 && numbers.every((n) => Number.isInteger(n) && n > 0)) {
      await page.setViewportSize({ width: numbers[0], height: numbers[1] });
      await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
      return `viewport ${numbers[0]} ${numbers[1]}`;
    }
    return `error unknown command: ${line.trim()}`;
  } catch (e) {
    return `error ${String(e?.message ?? e).split('\n')[0]}`;
  }
}

async function main() {
  let options;
  try {
    options = parseArgs(process.argv.slice(2));
  } catch (e) {
    console.error(`${e.message}\n${USAGE}`);
    process.exit(2);
  }

  let browser = null;
  let page = null;
  let stopping = false;
  let shot = false; // the --screenshot was taken
  // Commands are answered one at a time, in order, so replies line up with requests.
  let queue = Promise.resolve();
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    await queue.catch(() => {});
    if (options.screenshot && page && !shot) {
      try {
        await screenshot(page, options.screenshot);
      } catch (e) {
        console.error(`browser: screenshot failed: ${e.message}`);
      }
    }
    await browser?.close().catch(() => {});
    process.exit(0);
  };
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);

  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: !options.headed,
    args: FLAGS,
    timeout: LAUNCH_TIMEOUT_MS,
    // The signals are ours: the screenshot comes before the browser closes.
    handleSIGINT: false,
    handleSIGTERM: false,
    handleSIGHUP: false,
  });
  browser.on('disconnected', () => {
    if (stopping) return;
    console.error('browser: Chromium went away');
    process.exit(1);
  });
  if (stopping) return; // a signal arrived while Chromium was starting

  page = await browser.newPage({ viewport: options.viewport });
  page.on('console', (msg) => {
    if (msg.type() !== 'error') return;
    const where = msg.location()?.url;
    console.error(`page: ${msg.text()}${where ? ` (${where})` : ''}`);
  });
  page.on('pageerror', (err) => console.error(`page: ${err.message}`));
  page.on('crash', () => console.error('page: crashed'));

  await page.goto(options.page, { waitUntil: 'load', timeout: LOAD_TIMEOUT_MS });
  console.log('ready');

  if (options.screenshot && options.when === 'trading') {
    // The run goes on while the picture is taken, so the page's redraws are held from the
    // moment that was judged until the picture is saved (window.__uiHold).
    const takeWhenTrading = async () => {
      while (!stopping && !shot) {
        await page.waitForFunction(trading, null, { polling: POLL_MS, timeout: 0 });
        const attempt = queue.then(async () => {
          if (stopping || shot) return;
          if (!await page.evaluate(`(${trading})() && window.__uiHold(true)`)) return;
          try {
            await screenshot(page, options.screenshot);
            shot = true;
          } finally {
            await page.evaluate(() => window.__uiHold(false));
          }
        });
        queue = attempt.catch(() => {}); // a failed picture must not block the command channel
        await attempt;
      }
    };
    takeWhenTrading().catch((e) => {
      if (!stopping) console.error(`browser: screenshot failed: ${String(e?.message ?? e).split('\n')[0]}`);
    });
  }

  if (options.state) {
    const lines = createInterface({ input: process.stdin });
    lines.on('line', (line) => {
      if (!line.trim()) return;
      queue = queue.then(async () => {
        if (!stopping) console.log(await command(page, line));
      });
    });
    lines.on('close', stop); // the driver went away: stop as on SIGTERM
  }
}

main().catch((e) => {
  console.error(`browser: ${String(e?.message ?? e).split('\n')[0]}`);
  process.exit(1);
});

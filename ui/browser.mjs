#!/usr/bin/env node
/**
 * Opens the UI page in Debian's Chromium, driven by playwright-core, and keeps it open:
 *
 *   node ui/browser.mjs --page URL [--screenshot FILE] [--headed] [--state]
 *
 * stdout, one line each: "ready" once the page has loaded; nothing else unless --state.
 * SIGTERM or SIGINT: takes the --screenshot (if given), closes the browser, exits 0.
 * Exit 1 when the browser cannot start, the page cannot load or the browser goes away;
 * exit 2 on bad arguments. Page console errors and crashes go to stderr.
 *
 * --state opens a command channel on stdin; every command line gets exactly one stdout line:
 *   state             -> the page's window.__uiState as one line of JSON (null before the
 *                        page's first redraw)
 *   screenshot FILE   -> "saved FILE" once the PNG is written
 *   anything else     -> "error <why>" (also for a command that failed)
 * End of stdin then stops the launcher as SIGTERM does, so it never outlives its driver.
 * Without --state, stdin is not read (a launcher may leave it at a terminal or /dev/null).
 */
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

const USAGE = 'usage: node ui/browser.mjs --page URL [--screenshot FILE] [--headed] [--state]';

/**
 * @param {string[]} argv arguments after the script name
 * @returns {{page: string, screenshot: string|null, headed: boolean, state: boolean}}
 */
function parseArgs(argv) {
  const options = { page: '', screenshot: null, headed: false, state: false };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--headed') options.headed = true;
    else if (arg === '--state') options.state = true;
    else if ((arg === '--page' || arg === '--screenshot') && i + 1 < argv.length) options[arg.slice(2)] = argv[++i];
    else throw new Error(`unexpected argument: ${arg}`);
  }
  if (!options.page) throw new Error('--page URL is required');
  return options;
}

async function screenshot(page, file) {
  await mkdir(path.dirname(path.resolve(file)), { recursive: true });
  await page.screenshot({ path: file });
}

/** Answer one command line of the --state channel; returns the reply line. */
async function command(page, line) {
  const [verb, ...rest] = line.trim().split(/\s+/);
  try {
    if (verb === 'state') return JSON.stringify(await page.evaluate(() => window.__uiState ?? null));
    if (verb === 'screenshot' && rest.length) {
      const file = rest.join(' ');
      await screenshot(page, file);
      return `saved ${file}`;
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
  // Commands are answered one at a time, in order, so replies line up with requests.
  let queue = Promise.resolve();
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    await queue.catch(() => {});
    if (options.screenshot && page) {
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

  page = await browser.newPage({ viewport: VIEWPORT });
  page.on('console', (msg) => {
    if (msg.type() !== 'error') return;
    const where = msg.location()?.url;
    console.error(`page: ${msg.text()}${where ? ` (${where})` : ''}`);
  });
  page.on('pageerror', (err) => console.error(`page: ${err.message}`));
  page.on('crash', () => console.error('page: crashed'));

  await page.goto(options.page, { waitUntil: 'load', timeout: LOAD_TIMEOUT_MS });
  console.log('ready');

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

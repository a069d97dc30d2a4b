#!/usr/bin/env node
/**
 * CPU of the reference UI's request handler per environment step, without sockets:
 *
 *   node bench/ui_handler.mjs [--steps N] [--rounds R] [UI_DIR ...]
 *
 * Each UI_DIR (a copy of ui/; default: this repository's) gets 16 simulations (episode_length
 * 200) and the request frames an environment with random actions sends: step_and_sync every
 * step, place_ticket (buy or sell with a stop-loss) when flat, close_positions on "close all",
 * and end_session, fetch_events, reset_episode, get_snapshot, get_ohlc at an episode's end.
 * The requests come from one seeded script, so every folder answers the same traffic; the
 * folders take turns, --steps environment steps each per round. Printed per folder: CPU (user +
 * system, this process) per environment step, each round and the median.
 */
import path from 'node:path';
import { pathToFileURL, fileURLToPath } from 'node:url';
import { encodeFrame, decodeFrame, Kind } from '../ui/src/frame.js';
import { encodeVecF64, encodeCloseStep, decodeVecMatF64 } from '../ui/src/payload.js';
import { Fn } from '../ui/src/functions.js';
import { mulberry32 } from '../ui/src/prng.js';

const ENVS = 16;
const HERE = path.dirname(fileURLToPath(import.meta.url));

function parseArgs(argv) {
  const out = { steps: 200000, rounds: 3, dirs: [] };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--steps') out.steps = Number(argv[++i]);
    else if (argv[i] === '--rounds') out.rounds = Number(argv[++i]);
    else out.dirs.push(argv[i]);
  }
  if (!out.dirs.length) out.dirs.push(path.join(HERE, '..', 'ui'));
  return out;
}

const request = (fnId, payload) => encodeFrame(Kind.REQUEST, 1, fnId, payload);
const STEP = request(Fn.STEP_AND_SYNC);
const END = [Fn.END_SESSION, Fn.FETCH_EVENTS].map((fn) => request(fn));
const AFTER_RESET = [Fn.GET_SNAPSHOT, Fn.GET_OHLC].map((fn) => request(fn));
const ticket = (buy) => request(Fn.PLACE_TICKET, encodeVecF64([1, 0, 1, 0, buy ? 1 : 0, 10, 0, 0, 0]));
const reset = (index) => {
  const payload = new Uint8Array(5);
  new DataView(payload.buffer).setUint32(0, index, true);
  return request(Fn.RESET_EPISODE, payload);
};

/** One handler per environment of the folder's UI. */
async function handlers(dir) {
  const root = pathToFileURL(path.resolve(dir, 'src') + path.sep).href;
  const { Simulation } = await import(`${root}sim.js`);
  const { RequestHandler } = await import(`${root}handler.js`);
  return Array.from({ length: ENVS }, (_, i) => new RequestHandler(new Simulation({ seed: 1 + i, episodeLength: 200 })));
}

/** Environment steps of random actions; returns CPU microseconds per step. */
function drive(envs, steps, seed) {
  const uniform = mulberry32(seed);
  const state = envs.map(() => ({ ids: [], done: false }));
  const began = process.cpuUsage();
  for (let n = 0; n < steps; n += ENVS) {
    envs.forEach((h, i) => {
      const s = state[i];
      if (s.done) {
        for (const frame of END) h.handle(frame);
        h.handle(reset(Math.floor(uniform() * 1000)));
        for (const frame of AFTER_RESET) h.handle(frame);
        s.ids = [];
      }
      const action = Math.floor(uniform() * 4);
      if ((action === 1 || action === 2) && !s.ids.length) h.handle(ticket(action === 1));
      else if (action === 3 && s.ids.length) h.handle(request(Fn.CLOSE_POSITIONS, encodeCloseStep(s.ids, s.ids.map(() => 1), s.ids.map(() => 0))));
      const { vec, mat } = decodeVecMatF64(decodeFrame(h.handle(STEP)).payload);
      s.done = vec[8] === 1;
      s.ids = Array.from({ length: mat.rows }, (_, r) => mat.data[r * mat.cols]);
    });
  }
  const { user, system } = process.cpuUsage(began);
  return (user + system) / steps;
}

const args = parseArgs(process.argv.slice(2));
const results = new Map();
for (const dir of args.dirs) results.set(dir, { envs: await handlers(dir), cpu: [] });
for (const { envs } of results.values()) drive(envs, 20000, 99); // warm up, the JIT included
for (let round = 0; round < args.rounds; round++) {
  for (const r of results.values()) r.cpu.push(drive(r.envs, args.steps, round));
}
console.log(`${ENVS} environments, ${args.rounds} x ${args.steps} env steps`);
for (const [dir, { cpu }] of results) {
  const median = [...cpu].sort((a, b) => a - b)[Math.floor(cpu.length / 2)];
  console.log(`${path.normalize(dir)}: handler CPU per env step ${median.toFixed(2)} us (rounds: ${cpu.map((c) => c.toFixed(2)).join(', ')})`);
}

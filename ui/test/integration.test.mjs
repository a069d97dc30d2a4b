import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';
import { startHeadless } from '../headless.mjs';
import { Fn } from '../src/functions.js';
import { encodeFrame, decodeFrame, decodeErrorBody, Kind } from '../src/frame.js';
import { encodeVecF64, decodeVecF64, decodeMatF64, decodeVecMatF64, encodeCloseStep } from '../src/payload.js';
import { rowsOf } from './helpers.mjs';

const HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}';
const HEADLESS = fileURLToPath(new URL('../headless.mjs', import.meta.url));

function withTimeout(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

/** A stand-in engine: a ws server on loopback that hands out its connections in order. */
async function engine({ greeting = HANDSHAKE } = {}) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await new Promise((resolve) => server.once('listening', resolve));
  const waiting = [];
  const arrived = [];
  server.on('connection', (ws, req) => {
    const conn = { ws, origin: req.headers.origin, inbox: [], wake: null };
    ws.on('message', (data, isBinary) => {
      conn.inbox.push(isBinary ? decodeFrame(data) : data.toString());
      conn.wake?.();
    });
    ws.send(greeting);
    (waiting.shift() ?? ((c) => arrived.push(c)))(conn);
  });
  return {
    url: `ws://127.0.0.1:${server.address().port}`,
    next: () => withTimeout(arrived.length ? Promise.resolve(arrived.shift()) : new Promise((r) => waiting.push(r)), 5000, 'connection'),
    close: () => new Promise((resolve) => { for (const c of server.clients) c.terminate(); server.close(resolve); }),
  };
}

async function receive(conn) {
  while (!conn.inbox.length) await withTimeout(new Promise((r) => { conn.wake = r; }), 5000, 'reply');
  return conn.inbox.shift();
}

let seq = 0;
async function rpc(conn, fnId, payload = new Uint8Array(0), kind = Kind.REQUEST) {
  seq += 1;
  conn.ws.send(encodeFrame(kind, seq, fnId, payload));
  const reply = await receive(conn);
  assert.deepEqual([reply.seq, reply.fnId], [seq, fnId], 'reply carries the request ids');
  return reply;
}

test('headless UI serves a scripted episode and reconnects after the engine drops it', { timeout: 20000 }, async () => {
  const eng = await engine();
  const waits = []; // [reason, ms until the retry, failures] each time the link waits
  const { link, sim } = startHeadless({
    url: eng.url, settings: { seed: '21', sync: 'eager', test_episodes: '2' }, initialDelayMs: 20, maxDelayMs: 100,
    onChange: (l) => { if (l.state === 'waiting') waits.push([l.error, l.retryAt - Date.now(), l.failures]); },
  });
  try {
    const conn = await eng.next();
    assert.equal(conn.origin, 'http://127.0.0.1');
    const config = JSON.parse(new TextDecoder().decode((await rpc(conn, Fn.GET_RL_CONFIG)).payload));
    assert.deepEqual([config.seed, config.sync_policy, config.episode_length], [21, 'eager', 240]);
    assert.deepEqual([...(await rpc(conn, Fn.GET_SYNC_POLICY)).payload], [1]);
    assert.deepEqual([...(await rpc(conn, Fn.RESET_EPISODE, Uint8Array.of(2, 0, 0, 0, 1))).payload], [0, 0, 0, 0]);
    const placed = decodeVecF64((await rpc(conn, Fn.PLACE_TICKET, encodeVecF64([1, 0, 0, 0, 1, 3, 0, 0, 0]))).payload);
    assert.deepEqual([placed[0], placed[1]], [1, 1]);
    for (let i = 1; i <= 3; i++) {
      const { vec, mat } = decodeVecMatF64((await rpc(conn, Fn.STEP_AND_SYNC)).payload);
      assert.deepEqual([vec[0], vec[6], mat.rows, mat.data[0]], [i, 1, 1, 1]);
    }
    const pong = await rpc(conn, 7, Uint8Array.of(5, 6), Kind.PING);
    assert.deepEqual([pong.kind, [...pong.payload]], [Kind.PONG, [5, 6]]);
    const unknown = await rpc(conn, 77);
    assert.deepEqual([unknown.kind, decodeErrorBody(unknown.payload).err], [Kind.ERROR_RESPONSE, 2]);
    assert.equal(rowsOf(decodeMatF64((await rpc(conn, Fn.FETCH_EVENTS)).payload))[0][0], 1);
    const closed = rowsOf(decodeMatF64((await rpc(conn, Fn.CLOSE_POSITIONS, encodeCloseStep([1], [1], [0]))).payload));
    assert.deepEqual(closed[0].slice(0, 3), [1, 1, 3]);
    const [summary] = rowsOf(decodeMatF64((await rpc(conn, Fn.END_SESSION)).payload));
    assert.deepEqual(summary.slice(0, 3), [0, 1, 3]);

    conn.ws.terminate();
    const again = await eng.next();
    const snap = decodeVecF64((await rpc(again, Fn.GET_SNAPSHOT)).payload);
    assert.deepEqual([snap[0], snap[8]], [3, 1], 'the simulation outlives the connection');
    assert.equal(link.sessions, 2);
    assert.equal(sim.step, 3);
    again.ws.close(4001, 'bye');
    await eng.next();
    assert.deepEqual(waits.map(([why, ms, failures]) => [why, ms > 0 && ms <= 20, failures]), [
      ['connection lost without a close message: the engine stopped, or another UI took its place', true, 1],
      ['engine closed the connection (code 4001: bye)', true, 1],
    ]);
  } finally {
    link.stop();
    await eng.close();
  }
});

test('a wrong handshake is reported and the connection retried', { timeout: 10000 }, async () => {
  const eng = await engine({ greeting: '{"type":"handshake","python_library_version":"9.9"}' });
  const { link } = startHeadless({ url: eng.url, initialDelayMs: 20, maxDelayMs: 40 });
  try {
    const first = await eng.next();
    first.ws.send(encodeFrame(Kind.REQUEST, 1, Fn.GET_SNAPSHOT));
    await eng.next();
    assert.match(link.error, /engine library version 9\.9, this UI speaks 0\.1\.0/);
    assert.equal(link.sessions, 0);
    await eng.close();
    while (link.state !== 'waiting' || link.failures < 3) await new Promise((r) => setTimeout(r, 10));
    assert.equal(link.error, 'engine not reachable: nothing listens there, or it refused this page');
    assert.equal(link.handler.served, 0, 'nothing is answered before a valid handshake');
  } finally {
    link.stop();
    await eng.close();
  }
});

function exitOf(child) {
  return withTimeout(new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal }))), 8000, 'headless exit');
}

test('the CLI exits after its session with --once, on SIGTERM otherwise, and at once with --help', { timeout: 20000 }, async () => {
  const eng = await engine();
  try {
    const once = spawn(process.execPath, [HEADLESS, eng.url, '--seed', '5', '--once', '--quiet'], { stdio: 'ignore' });
    const conn = await eng.next();
    const config = JSON.parse(new TextDecoder().decode((await rpc(conn, Fn.GET_RL_CONFIG)).payload));
    assert.equal(config.seed, 5);
    conn.ws.close();
    assert.deepEqual(await exitOf(once), { code: 0, signal: null });

    const daemon = spawn(process.execPath, [HEADLESS, eng.url, '--quiet'], { stdio: 'ignore' });
    await rpc(await eng.next(), Fn.STEP_NEXT);
    daemon.kill('SIGTERM');
    assert.deepEqual(await exitOf(daemon), { code: 0, signal: null });

    const bad = spawn(process.execPath, [HEADLESS, 'http://nope'], { stdio: 'ignore' });
    assert.equal((await exitOf(bad)).code, 2);

    const help = spawn(process.execPath, [HEADLESS, eng.url, '--help'], { stdio: ['ignore', 'pipe', 'ignore'] });
    let usage = '';
    help.stdout.on('data', (chunk) => { usage += chunk; });
    assert.deepEqual(await exitOf(help), { code: 0, signal: null });
    assert.match(usage, /^usage: node ui\/headless\.mjs ws:\/\/HOST:PORT/);
    assert.match(usage, /--once {2,}exit once/);
  } finally {
    await eng.close();
  }
});

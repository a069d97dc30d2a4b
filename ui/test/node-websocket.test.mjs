import test from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { WebSocketServer } from 'ws';
import { NodeWebSocket } from '../src/node-websocket.js';

/** Resolves with the first value `register` hands to its callback, or rejects after 5 s. */
function waitFor(register, what) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), 5000);
    register((value) => { clearTimeout(timer); resolve(value); });
  });
}

/** A client connected to a ws server; records what it receives and how it ends. */
async function connected(options = {}) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0, ...options });
  await new Promise((resolve) => server.once('listening', resolve));
  const peer = new Promise((resolve) => server.once('connection', (ws, req) => resolve({ ws, req })));
  const client = new NodeWebSocket(`ws://127.0.0.1:${server.address().port}/`, { origin: 'http://127.0.0.1' });
  const got = [];
  const log = { opened: false, errors: 0, closed: null };
  client.onopen = () => { log.opened = true; };
  client.onerror = () => { log.errors += 1; };
  client.onmessage = ({ data }) => got.push(typeof data === 'string' ? data : Buffer.from(data));
  const closed = waitFor((done) => { client.onclose = (e) => { log.closed = e; done(e); }; }, 'close');
  return { server, client, got, log, closed, peer };
}

const until = (check, what) => waitFor((done) => {
  const poll = setInterval(() => { if (check()) { clearInterval(poll); done(); } }, 5);
}, what);
const bytes = (n) => Buffer.from(Array.from({ length: n }, (_, i) => (i * 7) & 0xff));
const unmaskedFrame = (first, payload) => {
  const n = payload.length;
  const head = n < 126 ? Buffer.from([first, n]) : Buffer.from([first, 126, n >> 8, n & 0xff]);
  return Buffer.concat([head, payload]);
};

test('messages both ways at every length encoding, frames split across reads, pings and fragments', { timeout: 15000 }, async () => {
  const { server, client, got, log, closed, peer } = await connected();
  const { ws, req } = await peer;
  assert.equal(req.headers.origin, 'http://127.0.0.1');
  const echoed = [];
  ws.on('message', (data, isBinary) => echoed.push([Buffer.from(data), isBinary]));
  const pong = waitFor((done) => ws.once('pong', done), 'pong');
  for (const n of [0, 5, 125, 126, 300, 70000]) ws.send(bytes(n));
  ws.send('text');
  ws.ping(Buffer.from('p1'));
  assert.deepEqual(await pong, Buffer.from('p1'));
  // One message in three fragments with a ping between, delivered a few bytes at a time.
  const raw = Buffer.concat([unmaskedFrame(0x02, bytes(3)), unmaskedFrame(0x89, Buffer.from('p2')),
    unmaskedFrame(0x00, bytes(200)), unmaskedFrame(0x80, bytes(1))]);
  for (let at = 0; at < raw.length; at += 7) ws._socket.write(raw.subarray(at, at + 7));
  await until(() => got.length === 8, 'messages');
  assert.deepEqual(got, [...[0, 5, 125, 126, 300, 70000].map(bytes), 'text', Buffer.concat([bytes(3), bytes(200), bytes(1)])]);
  for (const n of [0, 125, 126, 70000]) client.send(bytes(n));
  await until(() => echoed.length === 4, 'sent');
  assert.deepEqual(echoed, [0, 125, 126, 70000].map((n) => [bytes(n), true]));
  ws.close(4001, 'bye');
  assert.deepEqual(await closed, { code: 4001, reason: 'bye' });
  assert.deepEqual([log.opened, log.errors], [true, 0]);
  server.close();
});

test('a refused upgrade, a masked server frame and a dropped connection end with 1006 or 1002', { timeout: 15000 }, async () => {
  const refused = await connected({ verifyClient: () => false });
  assert.deepEqual(await refused.closed, { code: 1006, reason: 'unexpected server response: HTTP/1.1 401 Unauthorized' });
  assert.deepEqual([refused.log.opened, refused.log.errors], [false, 1]);
  refused.server.close();

  const masked = await connected();
  const { ws } = await masked.peer;
  ws._socket.write(Buffer.from([0x82, 0x81, 1, 2, 3, 4, 9]));
  assert.equal((await masked.closed).code, 1002);
  assert.deepEqual(masked.got, []);
  masked.server.close();

  const leaving = await connected();
  const seen = waitFor(async (done) => (await leaving.peer).ws.once('close', (code, why) => done([code, `${why}`])), 'close');
  await until(() => leaving.log.opened, 'open');
  leaving.client.close(4002, 'done');
  assert.deepEqual(await seen, [4002, 'done']);
  leaving.server.close();

  const dropped = await connected();
  (await dropped.peer).ws.terminate();
  assert.deepEqual(await dropped.closed, { code: 1006, reason: '' });
  dropped.server.close();

  const silent = net.createServer((s) => s.end('HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n'));
  await new Promise((resolve) => silent.listen(0, '127.0.0.1', resolve));
  const client = new NodeWebSocket(`ws://127.0.0.1:${silent.address().port}/`);
  const end = await waitFor((done) => { client.onclose = done; }, 'bad accept');
  assert.deepEqual(end, { code: 1006, reason: 'invalid upgrade response' });
  silent.close();
});

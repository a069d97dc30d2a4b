// ui/protocol-vectors.json read through the reference UI's decoders: every request frame and
// payload, the meaning of the asymmetric place_order/place_ticket encodings, and every reply as
// the engine turns it into a Python value. The hex examples of PROTOCOL.md must be vectors.
import test from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { decodeFrame, decodeErrorBody, Kind } from '../src/frame.js';
import { decodeVecF64, decodeMatF64, decodeVecMatF64, decodeCloseStep } from '../src/payload.js';
import { METHODS } from '../src/methods.js';
import { RequestHandler } from '../src/handler.js';
import { rowsOf } from './helpers.mjs';

const read = (name) => readFileSync(new URL(`../${name}`, import.meta.url), 'utf8');
const { vectors } = JSON.parse(read('protocol-vectors.json'));
const bytes = (h) => Uint8Array.from(Buffer.from(h, 'hex'));
const u32 = (p) => (p.length < 4 ? 0 : new DataView(p.buffer, p.byteOffset).getUint32(0, true));

// The request payload decoded as the UI reads it, per function.
const REQUEST = {
  100: (p) => { const m = decodeMatF64(p); return { rows: m.rows, cols: m.cols, data: rowsOf(m) }; },
  101: (p) => ({ episode_index: u32(p), episode_type: p[4] }),
  20: (p) => [...decodeVecF64(p)],
  21: (p) => [...decodeVecF64(p)],
  31: (p) => { const s = decodeCloseStep(p); return { ids: [...s.flags], actions: [...s.actions], ratios: [...s.ratios] }; },
};

// The reply payload as the engine hands it to Python, per function.
const matrix = (p) => rowsOf(decodeMatF64(p));
const RESULT = {
  2: () => null,
  100: () => null,
  10: matrix, 15: matrix, 30: matrix, 31: matrix, 40: matrix,
  12: (p) => [...decodeVecF64(p)],
  20: (p) => [...decodeVecF64(p)],
  21: (p) => [...decodeVecF64(p)],
  101: u32,
  102: (p) => new TextDecoder().decode(p),
  120: (p) => ({ 0: 'deferred', 1: 'eager' })[p[0]] ?? null,
  130: (p) => { const { vec, mat } = decodeVecMatF64(p); return [rowsOf(mat), [...vec]]; },
};

test('the vectors cover every function identifier the engine sends', () => {
  assert.deepEqual([...new Set(vectors.map((v) => v.fnId))].sort((a, b) => a - b), [...METHODS.keys()].sort((a, b) => a - b));
});

test('requests decode to the vector values and replies to the Python results', () => {
  for (const v of vectors) {
    const req = decodeFrame(bytes(v.request));
    assert.deepEqual([req.version, req.kind, req.flags, req.seq, req.fnId], [1, Kind.REQUEST, 0, v.seq, v.fnId], v.name);
    if (REQUEST[v.fnId]) assert.deepEqual(REQUEST[v.fnId](req.payload), v.request_values, v.name);
    else assert.equal(req.payload.length, 0, v.name);

    const reply = decodeFrame(bytes(v.reply));
    assert.deepEqual([reply.seq, reply.fnId], [v.seq, v.fnId], `${v.name}: reply echoes seq and fnId`);
    if (v.error) {
      assert.equal(reply.kind, Kind.ERROR_RESPONSE, v.name);
      const { err, sub, message } = v.error;
      assert.deepEqual(decodeErrorBody(reply.payload), { err, sub, message }, v.name);
    } else {
      assert.equal(reply.kind, Kind.RESPONSE, v.name);
      assert.deepEqual(RESULT[v.fnId](reply.payload), v.result, v.name);
    }
  }
});

test('the reference UI reads the asymmetric order and ticket encodings as the vectors mean', () => {
  for (const v of vectors.filter((x) => x.meaning)) {
    let seen = null;
    const sim = { placeOrder: (o) => { seen = o; return [1]; }, placeTicket: (t) => { seen = t; return [1]; } };
    METHODS.get(v.fnId)(sim, decodeFrame(bytes(v.request)).payload);
    assert.deepEqual(seen, v.meaning, v.name);
  }
});

test('the reference UI answers the ping vector with its pong', () => {
  for (const v of vectors.filter((x) => x.ui_sends_first)) {
    v.ui_sends_first.forEach((ping, i) => {
      assert.equal(Buffer.from(new RequestHandler(null).handle(bytes(ping))).toString('hex'), v.engine_answers[i]);
    });
  }
});

test('every hex example in PROTOCOL.md is a vector frame', () => {
  const framesOf = (v) => [v.request, v.reply, ...(v.ui_sends_first ?? []), ...(v.engine_answers ?? [])];
  const frames = new Set(vectors.flatMap(framesOf));
  // A block holds one frame per paragraph, one field per line: hex bytes, then a comment.
  const blocks = [...read('PROTOCOL.md').matchAll(/```hex\n([\s\S]*?)```/g)].flatMap((m) => m[1].split(/\n\s*\n/))
    .map((frame) => frame.split('\n').map((line) => (line.match(/^[0-9a-f]{2}(?: [0-9a-f]{2})*/)?.[0] ?? '').replaceAll(' ', '')).join(''));
  assert.ok(blocks.length >= 5, 'PROTOCOL.md has its worked examples');
  for (const block of blocks) assert.ok(frames.has(block), `PROTOCOL.md example is no vector: ${block}`);
  for (const v of vectors.filter((x) => x.documented)) assert.ok(framesOf(v).some((f) => blocks.includes(f)), `${v.name} is documented`);
});

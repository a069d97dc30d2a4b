import test from 'node:test';
import assert from 'node:assert/strict';
import { RequestHandler } from '../src/handler.js';
import { Simulation } from '../src/sim.js';
import { Fn } from '../src/functions.js';
import { encodeFrame, decodeFrame, decodeErrorBody, Kind } from '../src/frame.js';
import {
  encodeVecF64, decodeVecF64, encodeMatF64, decodeMatF64, decodeVecMatF64, encodeCloseStep,
} from '../src/payload.js';
import { SNAPSHOT_FIELDS, TICKET_FIELDS, OHLC_FIELDS, EVENT_FIELDS, SUMMARY_FIELDS, CLOSE_RESULT_FIELDS } from '../src/layout.js';
import { call, hex } from './helpers.mjs';

const fresh = (options) => new RequestHandler(new Simulation({ seed: 11, trainEpisodes: 8, testEpisodes: 2 }), options);
const resetPayload = (index, type) => { const b = new Uint8Array(5); new DataView(b.buffer).setUint32(0, index, true); b[4] = type; return b; };
const ORDER = [1, 100, -1, -1, -1, -1, 1, 1, 10, 0, 0, 0, 0];
const TICKET = [1, 0, 0, 0, 1, 5, 0, 0, 0];

test('a Ping is echoed as a Pong with the same seq, fnId and payload', () => {
  const reply = fresh().handle(encodeFrame(Kind.PING, 9, 3, Uint8Array.of(0xab, 0xcd)));
  assert.equal(hex(reply), '010500000900000003000000020000' + '00abcd');
});

test('frames of other kinds get no reply', () => {
  const h = fresh();
  for (const kind of [0, Kind.RESPONSE, Kind.ERROR_RESPONSE, Kind.PONG, 6, 255]) {
    assert.equal(h.handle(encodeFrame(kind, 1, Fn.STEP_NEXT)), null, `kind ${kind}`);
  }
  assert.equal(h.sim.step, 0, 'ignored frames do not step');
});

test('every function identifier answers with its reply payload kind', () => {
  const h = fresh();
  const candles = encodeMatF64(3, 5, [1, 2, 0.5, 1.5, 10, 1.5, 2, 1, 1.8, 11, 1.8, 2.2, 1.7, 2, 12]);
  const text = (p) => new TextDecoder().decode(p);
  const cases = [
    [Fn.GET_SYNC_POLICY, [], (p) => assert.equal(hex(p), '00')],
    [Fn.GET_RL_CONFIG, [], (p) => assert.equal(JSON.parse(text(p)).seed, 11)],
    [Fn.RESET_EPISODE, resetPayload(3, 0), (p) => assert.equal(hex(p), '03000000')],
    [Fn.STEP_NEXT, [], (p) => assert.equal(p.length, 0)],
    [Fn.GET_SNAPSHOT, [], (p) => assert.equal(decodeVecF64(p).length, SNAPSHOT_FIELDS.length)],
    [Fn.PLACE_TICKET, encodeVecF64(TICKET), (p) => assert.equal(decodeVecF64(p)[0], 1)],
    [Fn.PLACE_ORDER, encodeVecF64(ORDER), (p) => assert.equal(decodeVecF64(p)[0], 1)],
    [Fn.GET_TICKET_LIST, [], (p) => assert.deepEqual([decodeMatF64(p).rows, decodeMatF64(p).cols], [1, TICKET_FIELDS.length])],
    [Fn.STEP_AND_SYNC, [], (p) => {
      const { vec, mat } = decodeVecMatF64(p);
      assert.deepEqual([vec[0], vec.length, mat.cols], [2, SNAPSHOT_FIELDS.length, TICKET_FIELDS.length]);
    }],
    [Fn.GET_OHLC, [], (p) => assert.equal(decodeMatF64(p).cols, OHLC_FIELDS.length)],
    [Fn.FETCH_EVENTS, [], (p) => assert.equal(decodeMatF64(p).cols, EVENT_FIELDS.length)],
    [Fn.CLOSE_POSITIONS, encodeCloseStep([1], [1], [0]), (p) => assert.equal(decodeMatF64(p).cols, CLOSE_RESULT_FIELDS.length)],
    [Fn.END_SESSION, [], (p) => assert.deepEqual([decodeMatF64(p).rows, decodeMatF64(p).cols], [1, SUMMARY_FIELDS.length])],
    [Fn.INIT_CANDLES, candles, (p) => assert.deepEqual([...decodeVecF64(p)], [3, 2, 1, 0])],
  ];
  cases.forEach(([fnId, payload, check], i) => {
    const reply = call(h, fnId, Uint8Array.from(payload), 100 + i);
    assert.deepEqual([reply.kind, reply.seq, reply.fnId], [Kind.RESPONSE, 100 + i, fnId], `fnId ${fnId}: ${reply.error?.message}`);
    check(reply.payload);
  });
  assert.deepEqual([h.served, h.lastName], [cases.length, 'init_candles']);
});

test('refused requests get an ErrorResponse with err/sub codes', () => {
  const order = (i, v) => encodeVecF64(ORDER.map((x, j) => (j === i ? v : x)));
  const cases = [
    [999, [], 2, 0, 'unknown function id 999'],
    [Fn.PLACE_ORDER, encodeVecF64(ORDER.slice(0, 12)), 3, 1, 'place_order expects 13 values, got 12'],
    [Fn.PLACE_ORDER, new Uint8Array(3), 3, 1, 'VecF64 payload too short'],
    [Fn.PLACE_ORDER, order(0, 2), 3, 2, 'place_order: value 0 must be 1.0'],
    [Fn.PLACE_ORDER, order(3, 0), 3, 2, 'place_order flag 3 must be one of 1, -1, got 0'],
    [Fn.PLACE_ORDER, order(7, NaN), 3, 2, 'place_order type must be one of 1, -1, got NaN'],
    [Fn.PLACE_TICKET, encodeVecF64(TICKET.map((x, j) => (j === 4 ? -1 : x))), 3, 2, 'place_ticket side must be one of 1, 0, got -1'],
    [Fn.RESET_EPISODE, new Uint8Array(4), 3, 1, 'reset_episode expects 5 bytes, got 4'],
    [Fn.RESET_EPISODE, resetPayload(0, 2), 3, 2, 'episode type must be one of 0, 1, got 2'],
    [Fn.CLOSE_POSITIONS, new Uint8Array(5), 3, 1, 'CloseStep length mismatch: expected 4, got 5'],
    [Fn.INIT_CANDLES, encodeMatF64(2, 3, [1, 1, 1, 1, 1, 1]), 3, 2, 'init_candles needs at least 2 rows and 4 columns, got 2x3'],
    [Fn.INIT_CANDLES, encodeMatF64(1, 4, [1, 1, 1, 1]), 3, 2, 'init_candles needs at least 2 rows and 4 columns, got 1x4'],
  ];
  const h = fresh();
  for (const [fnId, payload, err, sub, message] of cases) {
    const reply = call(h, fnId, Uint8Array.from(payload), 42);
    assert.deepEqual([reply.kind, reply.seq, reply.fnId, reply.error], [Kind.ERROR_RESPONSE, 42, fnId, { err, sub, message }]);
  }
});

test('broken frames are answered with err 1 and whatever ids were readable', () => {
  const h = fresh();
  const versioned = encodeFrame(Kind.REQUEST, 5, Fn.STEP_NEXT);
  versioned[0] = 2;
  const longer = new Uint8Array([...encodeFrame(Kind.REQUEST, 6, Fn.GET_SNAPSHOT), 0]);
  const cases = [
    [Uint8Array.of(1, 1, 0, 0, 4, 0, 0, 0, 12, 0), 4, 12, 1, 'frame too short: 10 < 16'],
    [longer, 6, Fn.GET_SNAPSHOT, 2, 'payload length mismatch: expected 16, got 17'],
    [versioned, 5, Fn.STEP_NEXT, 3, 'protocol version mismatch: got 2, expected 1'],
  ];
  for (const [bytes, seq, fnId, sub, message] of cases) {
    const f = decodeFrame(h.handle(bytes));
    assert.deepEqual([f.kind, f.seq, f.fnId, decodeErrorBody(f.payload)], [Kind.ERROR_RESPONSE, seq, fnId, { err: 1, sub, message }]);
  }
  versioned[1] = Kind.PING;
  assert.equal(h.handle(versioned), null, 'a ping of another version is ignored');
  assert.equal(h.sim.step, 0);
});

test('sync policy, episode selection and the test set', () => {
  assert.equal(hex(call(fresh({ syncPolicy: 'eager' }), Fn.GET_SYNC_POLICY).payload), '01');
  assert.throws(() => fresh({ syncPolicy: 'lazy' }), RangeError);
  const h = fresh();
  const cases = [[0, 0, '00000000'], [9, 0, '01000000'], [1, 1, '01000000'], [4, 1, '00000000']];
  for (const [index, type, want] of cases) assert.equal(hex(call(h, Fn.RESET_EPISODE, resetPayload(index, type)).payload), want);
  assert.deepEqual([h.sim.episode.index, h.sim.episode.type], [0, 1]);
  const single = new RequestHandler(new Simulation({ trainEpisodes: 1, testEpisodes: 0 }));
  const reply = call(single, Fn.RESET_EPISODE, resetPayload(0, 1));
  assert.deepEqual(reply.error, { err: 4, sub: 1, message: 'no test episode available' });
});

import test from 'node:test';
import assert from 'node:assert/strict';
import {
  encodeFrame, decodeFrame, encodeErrorBody, decodeErrorBody, peekIds, Kind, FrameError,
} from '../src/frame.js';
import { hex } from './helpers.mjs';

test('encodeFrame writes the 16-byte little-endian header', () => {
  const cases = [
    { args: [Kind.REQUEST, 1, 2, []], bytes: '01010000' + '01000000' + '0200' + '0000' + '00000000' },
    { args: [Kind.REQUEST, 7, 100, [1, 2, 3]], bytes: '01010000' + '07000000' + '6400' + '0000' + '03000000' + '010203' },
    { args: [Kind.PONG, 9, 3, [0xab, 0xcd]], bytes: '01050000' + '09000000' + '0300' + '0000' + '02000000' + 'abcd' },
    { args: [Kind.RESPONSE, 0xffffffff, 0xffff, []], bytes: '01020000' + 'ffffffff' + 'ffff' + '0000' + '00000000' },
  ];
  for (const { args: [kind, seq, fnId, payload], bytes } of cases) {
    const frame = encodeFrame(kind, seq, fnId, Uint8Array.from(payload));
    assert.equal(hex(frame), bytes);
    const back = decodeFrame(frame);
    assert.deepEqual([back.version, back.kind, back.seq, back.fnId, [...back.payload]], [1, kind, seq, fnId, payload]);
  }
});

test('decodeFrame refuses short and inconsistent messages', () => {
  const withLen = (total, payloadLen) => {
    const b = new Uint8Array(total);
    b.set([1, 1]);
    new DataView(b.buffer).setUint32(12, payloadLen, true);
    return b;
  };
  const cases = [
    { bytes: new Uint8Array(15), sub: 1, message: 'frame too short: 15 < 16' },
    { bytes: new Uint8Array(0), sub: 1, message: 'frame too short: 0 < 16' },
    { bytes: withLen(20, 8), sub: 2, message: 'payload length mismatch: expected 24, got 20' },
    { bytes: withLen(16, 0xffffffff), sub: 2, message: 'payload length mismatch: expected 4294967311, got 16' },
  ];
  for (const { bytes, sub, message } of cases) {
    assert.throws(() => decodeFrame(bytes), (e) => e instanceof FrameError && e.sub === sub && e.message === message);
  }
});

test('decodeFrame accepts ArrayBuffer and offset views', () => {
  const frame = encodeFrame(Kind.PING, 5, 6, Uint8Array.of(9));
  const padded = new Uint8Array(frame.length + 3);
  padded.set(frame, 3);
  for (const input of [frame.buffer, padded.subarray(3), Buffer.from(frame)]) {
    const f = decodeFrame(input);
    assert.deepEqual([f.kind, f.seq, f.fnId, [...f.payload]], [Kind.PING, 5, 6, [9]]);
  }
});

test('peekIds reads what it can of a broken frame', () => {
  assert.deepEqual(peekIds(Uint8Array.of(1, 1, 0, 0, 7, 0, 0, 0, 0x64)), { seq: 7, fnId: 0x64 });
  assert.deepEqual(peekIds(new Uint8Array(3)), { seq: 0, fnId: 0 });
});

test('error body layout and lenient decoding', () => {
  assert.equal(hex(encodeErrorBody(5, 1, 'bad price')), '0500' + '0100' + '09000000' + hex(Buffer.from('bad price')));
  const cases = [
    { body: encodeErrorBody(3, 2, 'héllo'), want: { err: 3, sub: 2, message: 'héllo' } },
    { body: new Uint8Array(5), want: { err: 0, sub: 0, message: '' } },
    { body: Uint8Array.of(4, 0, 2, 0, 100, 0, 0, 0, ...new Uint8Array(20)), want: { err: 4, sub: 2, message: '' } },
    { body: Uint8Array.of(1, 0, 1, 0, 3, 0, 0, 0, 0x61, 0xff, 0x62, 0x99), want: { err: 1, sub: 1, message: 'a\ufffdb' } },
  ];
  for (const { body, want } of cases) assert.deepEqual(decodeErrorBody(body), want);
});

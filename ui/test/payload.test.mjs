import test from 'node:test';
import assert from 'node:assert/strict';
import {
  encodeVecF64, decodeVecF64, encodeMatF64, decodeMatF64, encodeVecMatF64, decodeVecMatF64,
  encodeCloseStep, decodeCloseStep, PayloadError,
} from '../src/payload.js';
import { hex } from './helpers.mjs';

const f64 = (v) => { const b = Buffer.alloc(8); b.writeDoubleLE(v); return b.toString('hex'); };
const u32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32LE(v); return b.toString('hex'); };
const i32 = (v) => { const b = Buffer.alloc(4); b.writeInt32LE(v); return b.toString('hex'); };
const bytes = (h) => Uint8Array.from(Buffer.from(h, 'hex'));

test('payload encoders produce the documented bytes', () => {
  const cases = [
    { got: encodeVecF64([]), want: '00000000' },
    { got: encodeVecF64([1.0]), want: '01000000' + '000000000000f03f' },
    { got: encodeMatF64(2, 0, []), want: u32(2) + u32(0) },
    { got: encodeMatF64(1, 2, [1.5, -2]), want: u32(1) + u32(2) + f64(1.5) + f64(-2) },
    { got: encodeVecMatF64([2.5], { rows: 2, cols: 1, data: [1, 2] }), want: u32(1) + f64(2.5) + u32(2) + u32(1) + f64(1) + f64(2) },
    { got: encodeCloseStep([7, 8], [1, 2], [0, 0.5]), want: u32(2) + i32(7) + i32(8) + i32(1) + i32(2) + f64(0) + f64(0.5) },
    { got: encodeCloseStep([-1], [0], [1]), want: u32(1) + i32(-1) + i32(0) + f64(1) },
  ];
  for (const { got, want } of cases) assert.equal(hex(got), want);
});

test('payload decoders invert the encoders, signed zero and infinities included', () => {
  const values = [0, -0, 1.25, -1e308, Infinity, -Infinity, Number.MIN_VALUE];
  assert.deepEqual([...decodeVecF64(encodeVecF64(values))], values);
  const nan = decodeVecF64(encodeVecF64([NaN]));
  assert.ok(Number.isNaN(nan[0]));
  const m = decodeMatF64(encodeMatF64(2, 3, [1, 2, 3, 4, 5, 6]));
  assert.deepEqual([m.rows, m.cols, [...m.data]], [2, 3, [1, 2, 3, 4, 5, 6]]);
  const vm = decodeVecMatF64(encodeVecMatF64([9, 8], { rows: 1, cols: 1, data: [7] }));
  assert.deepEqual([[...vm.vec], vm.mat.rows, vm.mat.cols, [...vm.mat.data]], [[9, 8], 1, 1, [7]]);
  const cs = decodeCloseStep(encodeCloseStep([7, -2147483648], [1, 2147483647], [0.25, 1]));
  assert.deepEqual([[...cs.flags], [...cs.actions], [...cs.ratios]], [[7, -2147483648], [1, 2147483647], [0.25, 1]]);
});

test('payload decoders refuse wrong lengths with exact messages', () => {
  const cases = [
    [decodeVecF64, '000000', 'VecF64 payload too short'],
    [decodeVecF64, u32(1) + f64(1) + '00', 'VecF64 length mismatch: expected 12, got 13'],
    [decodeMatF64, '00'.repeat(7), 'MatF64 payload too short'],
    [decodeMatF64, u32(2) + u32(3) + '00'.repeat(32), 'MatF64 length mismatch: expected 56, got 40'],
    [decodeVecMatF64, '0000', 'VecMatF64 payload too short'],
    [decodeVecMatF64, u32(1) + f64(1), 'VecMatF64 missing matrix header'],
    [decodeVecMatF64, u32(0) + u32(1) + u32(1), 'VecMatF64 length mismatch: expected 20, got 12'],
    [decodeCloseStep, '', 'CloseStep payload too short'],
    [decodeCloseStep, u32(2) + '00'.repeat(31), 'CloseStep length mismatch: expected 36, got 35'],
    [decodeMatF64, u32(0xffffffff) + u32(0xffffffff), 'MatF64 length mismatch: expected 147573952520956936208, got 8'],
  ];
  for (const [decode, input, message] of cases) {
    assert.throws(() => decode(bytes(input)), (e) => e instanceof PayloadError && e.message === message, message);
  }
  assert.equal(decodeVecMatF64(bytes(u32(1) + f64(3) + u32(0) + u32(0))).vec[0], 3);
});

test('payload encoders refuse inconsistent shapes', () => {
  assert.throws(() => encodeMatF64(2, 3, [1, 2, 3, 4, 5]), { message: 'MatF64 data length mismatch: expected 6, got 5' });
  assert.throws(() => encodeCloseStep([1, 2], [1, 2], [1, 2, 3]), { message: 'close_step shape mismatch: flags=2, actions=2, ratios=3' });
});

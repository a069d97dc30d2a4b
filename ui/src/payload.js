/**
 * The four payload kinds, all little-endian with u32 counts and exact lengths:
 *   VecF64    u32 n, f64 x n
 *   MatF64    u32 rows, u32 cols, f64 x rows*cols (row-major)
 *   VecMatF64 a VecF64 directly followed by a MatF64
 *   CloseStep u32 n, i32 x n ids, i32 x n actions, f64 x n ratios
 */
import { toBytes, viewOf, reservePayload } from './bytes.js';

/** A payload whose bytes do not fit its kind. */
export class PayloadError extends Error {
  /** @param {string} message */
  constructor(message) {
    super(message);
    this.name = 'PayloadError';
  }
}

function mismatch(kind, expected, got) {
  return new PayloadError(`${kind} length mismatch: expected ${expected}, got ${got}`);
}

function writeF64s(dv, offset, values) {
  for (let i = 0; i < values.length; i++) dv.setFloat64(offset + 8 * i, values[i], true);
}

function readF64s(dv, offset, count) {
  const out = new Float64Array(count);
  for (let i = 0; i < count; i++) out[i] = dv.getFloat64(offset + 8 * i, true);
  return out;
}

/**
 * @param {ArrayLike<number>} values
 * @returns {Uint8Array}
 */
export function encodeVecF64(values) {
  const out = reservePayload(4 + 8 * values.length);
  const dv = viewOf(out);
  dv.setUint32(0, values.length, true);
  writeF64s(dv, 4, values);
  return out;
}

/**
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {Float64Array}
 * @throws {PayloadError}
 */
export function decodeVecF64(data) {
  const bytes = toBytes(data);
  if (bytes.length < 4) throw new PayloadError('VecF64 payload too short');
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  if (bytes.length !== 4 + 8 * n) throw mismatch('VecF64', 4 + 8 * n, bytes.length);
  return readF64s(dv, 4, n);
}

/**
 * @param {number} rows
 * @param {number} cols
 * @param {ArrayLike<number>} data row-major, rows*cols values
 * @returns {Uint8Array}
 */
export function encodeMatF64(rows, cols, data) {
  if (data.length !== rows * cols) {
    throw new PayloadError(`MatF64 data length mismatch: expected ${rows * cols}, got ${data.length}`);
  }
  const out = reservePayload(8 + 8 * data.length);
  const dv = viewOf(out);
  dv.setUint32(0, rows, true);
  dv.setUint32(4, cols, true);
  writeF64s(dv, 8, data);
  return out;
}

function readMat(bytes, offset, kind) {
  const dv = viewOf(bytes);
  const rows = dv.getUint32(offset, true);
  const cols = dv.getUint32(offset + 4, true);
  // BigInt keeps the implied length exact when rows*cols is beyond 2^53
  const expected = BigInt(offset + 8) + 8n * BigInt(rows) * BigInt(cols);
  if (BigInt(bytes.length) !== expected) throw mismatch(kind, expected, bytes.length);
  return { rows, cols, data: readF64s(dv, offset + 8, rows * cols) };
}

/**
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {{rows:number, cols:number, data:Float64Array}}
 * @throws {PayloadError}
 */
export function decodeMatF64(data) {
  const bytes = toBytes(data);
  if (bytes.length < 8) throw new PayloadError('MatF64 payload too short');
  return readMat(bytes, 0, 'MatF64');
}

/**
 * @param {ArrayLike<number>} vec
 * @param {{rows:number, cols:number, data:ArrayLike<number>}} mat
 * @returns {Uint8Array}
 */
export function encodeVecMatF64(vec, mat) {
  if (mat.data.length !== mat.rows * mat.cols) {
    throw new PayloadError(`MatF64 data length mismatch: expected ${mat.rows * mat.cols}, got ${mat.data.length}`);
  }
  const at = 4 + 8 * vec.length;
  const out = reservePayload(at + 8 + 8 * mat.data.length);
  const dv = viewOf(out);
  dv.setUint32(0, vec.length, true);
  writeF64s(dv, 4, vec);
  dv.setUint32(at, mat.rows, true);
  dv.setUint32(at + 4, mat.cols, true);
  writeF64s(dv, at + 8, mat.data);
  return out;
}

/**
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {{vec:Float64Array, mat:{rows:number, cols:number, data:Float64Array}}}
 * @throws {PayloadError}
 */
export function decodeVecMatF64(data) {
  const bytes = toBytes(data);
  if (bytes.length < 4) throw new PayloadError('VecMatF64 payload too short');
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  if (bytes.length < 12 + 8 * n) throw new PayloadError('VecMatF64 missing matrix header');
  return { vec: readF64s(dv, 4, n), mat: readMat(bytes, 4 + 8 * n, 'VecMatF64') };
}

/**
 * @param {ArrayLike<number>} flags i32 (position ids)
 * @param {ArrayLike<number>} actions i32
 * @param {ArrayLike<number>} ratios f64
 * @returns {Uint8Array}
 */
export function encodeCloseStep(flags, actions, ratios) {
  const n = flags.length;
  if (actions.length !== n || ratios.length !== n) {
    throw new PayloadError(
      `close_step shape mismatch: flags=${n}, actions=${actions.length}, ratios=${ratios.length}`);
  }
  const out = new Uint8Array(4 + 16 * n);
  const dv = viewOf(out);
  dv.setUint32(0, n, true);
  for (let i = 0; i < n; i++) {
    dv.setInt32(4 + 4 * i, flags[i], true);
    dv.setInt32(4 + 4 * n + 4 * i, actions[i], true);
  }
  writeF64s(dv, 4 + 8 * n, ratios);
  return out;
}

/**
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {{flags:Int32Array, actions:Int32Array, ratios:Float64Array}}
 * @throws {PayloadError}
 */
export function decodeCloseStep(data) {
  const bytes = toBytes(data);
  if (bytes.length < 4) throw new PayloadError('CloseStep payload too short');
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  if (bytes.length !== 4 + 16 * n) throw mismatch('CloseStep', 4 + 16 * n, bytes.length);
  const flags = new Int32Array(n);
  const actions = new Int32Array(n);
  for (let i = 0; i < n; i++) {
    flags[i] = dv.getInt32(4 + 4 * i, true);
    actions[i] = dv.getInt32(4 + 4 * n + 4 * i, true);
  }
  return { flags, actions, ratios: readF64s(dv, 4 + 8 * n, n) };
}

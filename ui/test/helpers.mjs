/** Shared test helpers: hand-made candle series and request round trips. */
import { Simulation } from '../src/sim.js';
import { encodeFrame, decodeFrame, decodeErrorBody, Kind } from '../src/frame.js';

/**
 * A simulation over hand-made candles [open, high, low, close]; the whole series is one episode.
 * Without costs unless `config` sets them.
 * @param {number[][]} rows
 * @param {object} [config]
 */
export function simOver(rows, config = {}) {
  const sim = new Simulation({ initialEquity: 1000, spread: 0, commission: 0, ...config });
  sim.loadCandles({ rows: rows.length, cols: 4, data: rows.flat() });
  return sim;
}

/** Flat candles at `price` (open = high = low = close) followed by `rows`. */
export function after(price, rows) {
  return [[price, price, price, price], ...rows];
}

/**
 * Send one request through a handler and decode the reply frame.
 * @returns {{kind:number, seq:number, fnId:number, payload:Uint8Array, error?:object}}
 */
export function call(handler, fnId, payload = new Uint8Array(0), seq = 1) {
  const frame = decodeFrame(handler.handle(encodeFrame(Kind.REQUEST, seq, fnId, payload)));
  return frame.kind === Kind.ERROR_RESPONSE ? { ...frame, error: decodeErrorBody(frame.payload) } : frame;
}

/** Hex string of bytes, for readable byte tables. */
export const hex = (bytes) => Buffer.from(bytes).toString('hex');

/** Rows of a decoded matrix as arrays. */
export function rowsOf({ rows, cols, data }) {
  return Array.from({ length: rows }, (_, r) => Array.from(data.subarray(r * cols, (r + 1) * cols)));
}

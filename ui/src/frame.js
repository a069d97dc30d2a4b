/**
 * RPC frame codec: a 16-byte little-endian header followed by the payload.
 *
 *   0 u8 version | 1 u8 kind | 2 u16 flags | 4 u32 seq | 8 u16 fnId | 10 u16 reserved | 12 u32 payload_len
 */
import { toBytes, viewOf, takeHeadroom, HEADROOM } from './bytes.js';

export const PROTOCOL_VERSION = 1;
export const HEADER_LEN = 16;

/** Frame kinds. Anything else is not defined and is ignored by the UI. */
export const Kind = Object.freeze({
  REQUEST: 1,
  RESPONSE: 2,
  ERROR_RESPONSE: 3,
  PING: 4,
  PONG: 5,
});

/** A binary message that is not a well-formed frame; `sub` is the error sub-code sent back. */
export class FrameError extends Error {
  /**
   * @param {number} sub
   * @param {string} message
   */
  constructor(sub, message) {
    super(message);
    this.name = 'FrameError';
    this.sub = sub;
  }
}

if (HEADROOM !== HEADER_LEN) throw new Error('payload headroom must hold a frame header');

/**
 * Build one frame. A payload made by reservePayload becomes the frame in place, others are copied.
 * @param {number} kind
 * @param {number} seq u32
 * @param {number} fnId u16
 * @param {Uint8Array} [payload]
 * @returns {Uint8Array}
 */
export function encodeFrame(kind, seq, fnId, payload = new Uint8Array(0)) {
  let out = takeHeadroom(payload);
  const copy = out === null;
  if (copy) out = new Uint8Array(HEADER_LEN + payload.length);
  const dv = viewOf(out);
  dv.setUint8(0, PROTOCOL_VERSION);
  dv.setUint8(1, kind);
  dv.setUint32(4, seq >>> 0, true);
  dv.setUint16(8, fnId & 0xffff, true);
  dv.setUint32(12, payload.length, true);
  if (copy) out.set(payload, HEADER_LEN);
  return out;
}

/**
 * Parse one binary message. Checks length only; the caller judges version and kind.
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {{version:number, kind:number, flags:number, seq:number, fnId:number, payload:Uint8Array}}
 * @throws {FrameError} sub 1 when shorter than the header, sub 2 when payload_len disagrees
 */
export function decodeFrame(data) {
  const bytes = toBytes(data);
  if (bytes.length < HEADER_LEN) {
    throw new FrameError(1, `frame too short: ${bytes.length} < ${HEADER_LEN}`);
  }
  const dv = viewOf(bytes);
  const payloadLen = dv.getUint32(12, true);
  if (bytes.length !== HEADER_LEN + payloadLen) {
    throw new FrameError(2, `payload length mismatch: expected ${HEADER_LEN + payloadLen}, got ${bytes.length}`);
  }
  return {
    version: dv.getUint8(0),
    kind: dv.getUint8(1),
    flags: dv.getUint16(2, true),
    seq: dv.getUint32(4, true),
    fnId: dv.getUint16(8, true),
    payload: bytes.subarray(HEADER_LEN),
  };
}

/**
 * Best-effort seq and fnId of a message too broken to decode (missing bytes read as 0),
 * so that an error reply can still name the request it answers.
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {{seq:number, fnId:number}}
 */
export function peekIds(data) {
  const padded = new Uint8Array(HEADER_LEN);
  const bytes = toBytes(data);
  padded.set(bytes.subarray(0, HEADER_LEN));
  const dv = viewOf(padded);
  return { seq: dv.getUint32(4, true), fnId: dv.getUint16(8, true) };
}

/**
 * Error body of an ErrorResponse: u16 err, u16 sub, u32 length, UTF-8 message.
 * @param {number} err
 * @param {number} sub
 * @param {string} message
 * @returns {Uint8Array}
 */
export function encodeErrorBody(err, sub, message) {
  const text = new TextEncoder().encode(message);
  const out = new Uint8Array(8 + text.length);
  const dv = viewOf(out);
  dv.setUint16(0, err, true);
  dv.setUint16(2, sub, true);
  dv.setUint32(4, text.length, true);
  out.set(text, 8);
  return out;
}

/**
 * Read an error body; never throws (short bodies give zeros, a cut message gives '').
 * @param {Uint8Array} payload
 * @returns {{err:number, sub:number, message:string}}
 */
export function decodeErrorBody(payload) {
  const bytes = toBytes(payload);
  if (bytes.length < 8) return { err: 0, sub: 0, message: '' };
  const dv = viewOf(bytes);
  const len = dv.getUint32(4, true);
  const message = 8 + len <= bytes.length ? new TextDecoder().decode(bytes.subarray(8, 8 + len)) : '';
  return { err: dv.getUint16(0, true), sub: dv.getUint16(2, true), message };
}

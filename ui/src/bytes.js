/** Small helpers for little-endian binary work shared by the frame and payload codecs. */

/**
 * View any binary message (ArrayBuffer, typed array, Node Buffer) as a Uint8Array without copying.
 * @param {ArrayBuffer|ArrayBufferView} data
 * @returns {Uint8Array}
 */
export function toBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('expected binary data');
}

/**
 * DataView over exactly the bytes of `bytes`.
 * @param {Uint8Array} bytes
 * @returns {DataView}
 */
export function viewOf(bytes) {
  return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

/** Bytes kept in front of a reply payload for the frame header (the header's length). */
export const HEADROOM = 16;

let lastReserved = null;

/**
 * A zeroed payload of `length` bytes with HEADROOM bytes in front of it, in the same buffer, so
 * that the frame around it is made without copying it (see takeHeadroom). Only the payload
 * reserved last can be taken: a reply's payload is framed as soon as it is made.
 * @param {number} length
 * @returns {Uint8Array}
 */
export function reservePayload(length) {
  const payload = new Uint8Array(new ArrayBuffer(HEADROOM + length), HEADROOM, length);
  lastReserved = payload;
  return payload;
}

/**
 * The whole buffer of the payload reservePayload made last, headroom included, once; null for
 * any other payload (or a second time), which the caller must copy.
 * @param {Uint8Array} payload
 * @returns {Uint8Array|null}
 */
export function takeHeadroom(payload) {
  if (payload !== lastReserved) return null;
  lastReserved = null;
  return new Uint8Array(payload.buffer, 0, HEADROOM + payload.length);
}

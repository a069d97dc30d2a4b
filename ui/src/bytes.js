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

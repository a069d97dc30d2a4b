/**
 * err / sub codes of the UI's ErrorResponse bodies.
 *   err 1 FRAME            sub 1 shorter than 16 bytes, 2 payload_len disagrees, 3 unknown version
 *   err 2 UNKNOWN_FUNCTION sub 0
 *   err 3 BAD_PAYLOAD      sub 1 bytes do not fit the payload kind or size, 2 a field out of its domain
 *   err 4 STATE            sub 1 the requested episode set is empty
 *   err 5 INTERNAL         sub 0 unexpected failure inside the UI
 */
export const ErrorCode = Object.freeze({
  FRAME: 1,
  UNKNOWN_FUNCTION: 2,
  BAD_PAYLOAD: 3,
  STATE: 4,
  INTERNAL: 5,
});

export const FrameSub = Object.freeze({ TOO_SHORT: 1, LENGTH_MISMATCH: 2, VERSION: 3 });
export const PayloadSub = Object.freeze({ LAYOUT: 1, VALUE: 2 });
export const StateSub = Object.freeze({ NO_EPISODE: 1 });

/** A request the UI refuses with an ErrorResponse. */
export class RequestError extends Error {
  /**
   * @param {number} err
   * @param {number} sub
   * @param {string} message
   */
  constructor(err, sub, message) {
    super(message);
    this.name = 'RequestError';
    this.err = err;
    this.sub = sub;
  }
}

/**
 * Refuse a request whose payload field is out of its domain.
 * @param {string} message
 * @returns {never}
 */
export function badValue(message) {
  throw new RequestError(ErrorCode.BAD_PAYLOAD, PayloadSub.VALUE, message);
}

/**
 * Request frame bytes in, reply frame bytes out. Every Request gets exactly one Response or
 * ErrorResponse with the request's seq and fnId; a Ping gets its Pong; other kinds get nothing.
 */
import { Kind, PROTOCOL_VERSION, FrameError, decodeFrame, encodeFrame, encodeErrorBody, peekIds } from './frame.js';
import { PayloadError } from './payload.js';
import { ErrorCode, FrameSub, PayloadSub, RequestError } from './errors.js';
import { METHODS } from './methods.js';
import { fnName } from './functions.js';

export class RequestHandler {
  /**
   * @param {import('./sim.js').Simulation} sim
   * @param {{syncPolicy?: 'deferred'|'eager'}} [options]
   */
  constructor(sim, { syncPolicy = 'deferred' } = {}) {
    if (syncPolicy !== 'deferred' && syncPolicy !== 'eager') throw new RangeError(`unknown sync policy: ${syncPolicy}`);
    this.sim = sim;
    this.options = { syncPolicy };
    this.served = 0;
    this.lastName = '';
  }

  /**
   * @param {ArrayBuffer|ArrayBufferView} data one binary WebSocket message
   * @returns {Uint8Array|null} the frame to send back, or null when nothing is owed
   */
  handle(data) {
    let frame;
    try {
      frame = decodeFrame(data);
    } catch (e) {
      if (!(e instanceof FrameError)) throw e;
      const { seq, fnId } = peekIds(data);
      return errorFrame(seq, fnId, ErrorCode.FRAME, e.sub, e.message);
    }
    const { kind, seq, fnId, payload } = frame;
    if (frame.version !== PROTOCOL_VERSION) {
      if (kind !== Kind.REQUEST) return null;
      return errorFrame(seq, fnId, ErrorCode.FRAME, FrameSub.VERSION,
        `protocol version mismatch: got ${frame.version}, expected ${PROTOCOL_VERSION}`);
    }
    if (kind === Kind.PING) return encodeFrame(Kind.PONG, seq, fnId, payload);
    if (kind !== Kind.REQUEST) return null;
    this.served += 1;
    this.lastName = fnName(fnId);
    const method = METHODS.get(fnId);
    if (!method) return errorFrame(seq, fnId, ErrorCode.UNKNOWN_FUNCTION, 0, `unknown function id ${fnId}`);
    try {
      return encodeFrame(Kind.RESPONSE, seq, fnId, method(this.sim, payload, this.options));
    } catch (e) {
      if (e instanceof RequestError) return errorFrame(seq, fnId, e.err, e.sub, e.message);
      if (e instanceof PayloadError) return errorFrame(seq, fnId, ErrorCode.BAD_PAYLOAD, PayloadSub.LAYOUT, e.message);
      return errorFrame(seq, fnId, ErrorCode.INTERNAL, 0, `internal error: ${e?.message ?? e}`);
    }
  }
}

function errorFrame(seq, fnId, err, sub, message) {
  return encodeFrame(Kind.ERROR_RESPONSE, seq, fnId, encodeErrorBody(err, sub, message));
}

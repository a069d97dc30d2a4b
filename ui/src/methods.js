/**
 * One entry per function identifier: decode the request payload, run it on the simulation,
 * encode the reply payload. Refusals throw RequestError (or PayloadError for bytes that do not
 * fit their payload kind); the handler turns both into ErrorResponse frames.
 */
import { Fn } from './functions.js';
import { ErrorCode, PayloadSub, StateSub, RequestError, badValue } from './errors.js';
import {
  encodeVecF64, decodeVecF64, encodeMatF64, decodeMatF64, encodeVecMatF64, decodeCloseStep,
} from './payload.js';
import { toBytes, viewOf } from './bytes.js';
import { describeConfig } from './describe.js';

export const SyncPolicy = Object.freeze({ deferred: 0, eager: 1 });

const EMPTY = new Uint8Array(0);
const mat = (m) => encodeMatF64(m.rows, m.cols, m.data);

function vecOfLength(payload, n, what) {
  const v = decodeVecF64(payload);
  if (v.length !== n) {
    throw new RequestError(ErrorCode.BAD_PAYLOAD, PayloadSub.LAYOUT, `${what} expects ${n} values, got ${v.length}`);
  }
  if (v[0] !== 1) badValue(`${what}: value 0 must be 1.0`);
  return v;
}

function oneOf(value, allowed, what) {
  if (!allowed.includes(value)) badValue(`${what} must be one of ${allowed.join(', ')}, got ${value}`);
  return value;
}

const SIGNS = [1, -1];
const BITS = [1, 0];

function initCandles(sim, payload) {
  const m = decodeMatF64(payload);
  if (m.cols < 4 || m.rows < 2) badValue(`init_candles needs at least 2 rows and 4 columns, got ${m.rows}x${m.cols}`);
  sim.loadCandles(m);
  return encodeVecF64([sim.candles.length, sim.split.length, sim.split.train, sim.split.test]);
}

function resetEpisode(sim, payload) {
  const bytes = toBytes(payload);
  if (bytes.length !== 5) {
    throw new RequestError(ErrorCode.BAD_PAYLOAD, PayloadSub.LAYOUT, `reset_episode expects 5 bytes, got ${bytes.length}`);
  }
  const dv = viewOf(bytes);
  const type = oneOf(dv.getUint8(4), [0, 1], 'episode type');
  const selected = sim.resetEpisode(dv.getUint32(0, true), type);
  if (selected === null) {
    throw new RequestError(ErrorCode.STATE, StateSub.NO_EPISODE, `no ${type ? 'test' : 'train'} episode available`);
  }
  const out = new Uint8Array(4);
  viewOf(out).setUint32(0, selected, true);
  return out;
}

function placeOrder(sim, payload) {
  const v = vecOfLength(payload, 13, 'place_order');
  const tpOn = oneOf(v[2], SIGNS, 'place_order flag 2') === 1;
  const slOn = oneOf(v[3], SIGNS, 'place_order flag 3') === 1;
  const trOn = oneOf(v[4], SIGNS, 'place_order flag 4') === 1;
  const tlOn = oneOf(v[5], SIGNS, 'place_order flag 5') === 1;
  const fraction = (on, raw) => (on ? (raw + 1) / 100 : null);
  return encodeVecF64(sim.placeOrder({
    price: v[1],
    side: oneOf(v[6], SIGNS, 'place_order side'),
    type: oneOf(v[7], SIGNS, 'place_order type'),
    units: v[8],
    takeProfit: fraction(tpOn, v[9]),
    stopLoss: fraction(slOn, v[10]),
    trailing: fraction(trOn, v[11]),
    timeLimit: tlOn ? v[12] : null,
  }));
}

function placeTicket(sim, payload) {
  const v = vecOfLength(payload, 9, 'place_ticket');
  const tpOn = oneOf(v[1], BITS, 'place_ticket flag 1') === 1;
  const slOn = oneOf(v[2], BITS, 'place_ticket flag 2') === 1;
  const trOn = oneOf(v[3], BITS, 'place_ticket flag 3') === 1;
  const distance = (on, raw) => (on ? raw + 1 : null);
  return encodeVecF64(sim.placeTicket({
    side: oneOf(v[4], BITS, 'place_ticket side') === 1 ? 1 : -1,
    units: v[5],
    takeProfit: distance(tpOn, v[6]),
    stopLoss: distance(slOn, v[7]),
    trailing: distance(trOn, v[8]),
  }));
}

function closePositions(sim, payload) {
  const step = decodeCloseStep(payload);
  return mat(sim.closePositions(step.flags, step.actions, step.ratios));
}

function stepAndSync(sim) {
  sim.advance();
  return encodeVecMatF64(sim.snapshot(), sim.ticketList());
}

/**
 * fnId -> handler(sim, payload, options) returning the reply payload. Functions that take no
 * arguments ignore whatever payload they are sent.
 * @type {Map<number, (sim: import('./sim.js').Simulation, payload: Uint8Array,
 *   options: {syncPolicy: 'deferred'|'eager'}) => Uint8Array>}
 */
export const METHODS = new Map([
  [Fn.STEP_NEXT, (sim) => { sim.advance(); return EMPTY; }],
  [Fn.GET_TICKET_LIST, (sim) => mat(sim.ticketList())],
  [Fn.GET_SNAPSHOT, (sim) => encodeVecF64(sim.snapshot())],
  [Fn.GET_OHLC, (sim) => mat(sim.ohlc())],
  [Fn.PLACE_ORDER, placeOrder],
  [Fn.PLACE_TICKET, placeTicket],
  [Fn.FETCH_EVENTS, (sim) => mat(sim.fetchEvents())],
  [Fn.CLOSE_POSITIONS, closePositions],
  [Fn.END_SESSION, (sim) => mat(sim.endSession())],
  [Fn.INIT_CANDLES, initCandles],
  [Fn.RESET_EPISODE, resetEpisode],
  [Fn.GET_RL_CONFIG, (sim, _p, options) => new TextEncoder().encode(JSON.stringify(describeConfig(sim, options)))],
  [Fn.GET_SYNC_POLICY, (_s, _p, options) => Uint8Array.of(SyncPolicy[options.syncPolicy])],
  [Fn.STEP_AND_SYNC, stepAndSync],
]);

/**
 * The market simulation: candles, episodes, orders, positions and accounting. Pure state, no I/O;
 * the same seed and the same sequence of calls always give the same numbers.
 *
 * Money: every fill pays half the spread (a buy fills spread / 2 of the price above it, a sell
 * below) and a commission of its notional value; pnl = side * (exit - entry) * units less the
 * commissions; balance holds realised pnl, equity adds the unrealised pnl: what closing every
 * position at the current close would give, its costs included.
 * There is no margin.
 *
 * Generated candles are made one episode at a time from the episode's own seed; candles loaded
 * by the engine are one series cut into episodes.
 */
import { candlesFromMatrix } from './candles.js';
import { MARKETS, episodeCandles } from './markets.js';
import { splitEpisodes, locateEpisode, EpisodeType } from './episodes.js';
import { EventCode, exitOnCandle, trailOnCandle, fillOnCandle } from './rules.js';
import {
  matrix, RejectReason, CloseStatus, CloseAction, Source,
  TICKET_FIELDS, OHLC_FIELDS, EVENT_FIELDS, SUMMARY_FIELDS, CLOSE_RESULT_FIELDS,
} from './layout.js';

export const DEFAULT_CONFIG = Object.freeze({
  seed: 1,
  instrument: 'SIM-USD',
  episodeLength: 240,
  trainEpisodes: 1000000,
  testEpisodes: 250000,
  initialEquity: 10000,
  ohlcWindow: 64,
  startPrice: 100,
  market: 'random_walk',
  volatility: 0.002,
  trendDrift: 0.0008,
  trendSwitch: 0.02,
  revertRate: 0.1,
  spread: 0.0002,
  commission: 0.0001,
  startTime: 1700000000,
  candleSeconds: 60,
});

const DUST = 1e-9; // units left after a reduce below this count as fully closed

export class Simulation {
  /** @param {Partial<typeof DEFAULT_CONFIG>} [config] */
  constructor(config = {}) {
    this.config = { ...DEFAULT_CONFIG, ...config };
    const c = this.config;
    if (!Object.hasOwn(MARKETS, c.market)) throw new RangeError(`unknown market: ${c.market}`);
    this.candleSource = 'generated';
    this.nextId = 1;
    this.split = { length: c.episodeLength, train: c.trainEpisodes, test: c.testEpisodes };
    this.resetEpisode(0, EpisodeType.TRAIN);
  }

  /**
   * Replace the series by the engine's candles (see candlesFromMatrix for column layouts).
   * @param {{rows:number, cols:number, data:ArrayLike<number>}} mat rows >= 2, cols >= 4
   */
  loadCandles(mat) {
    const c = this.config;
    this.candleSource = 'init_candles';
    this.candles = candlesFromMatrix(mat, c);
    this.split = splitEpisodes(this.candles.length, c.episodeLength, c.testEpisodes / (c.trainEpisodes + c.testEpisodes));
    this.resetEpisode(0, EpisodeType.TRAIN);
  }

  /**
   * Start an episode from a clean account.
   * @param {number} index wraps around the set size
   * @param {number} type EpisodeType
   * @returns {number|null} the index selected, or null when that set has no episode
   */
  resetEpisode(index, type) {
    const episode = locateEpisode(this.split, index, type);
    if (!episode) return null;
    if (this.candleSource === 'generated') {
      const { candles, start } = episodeCandles(this.config, type, episode.index);
      this.candles = candles;
      episode.start = start;
    }
    this.episode = episode;
    this.cursor = episode.start;
    this.balance = this.config.initialEquity;
    this.positions = new Map();
    this.orders = new Map();
    this.events = [];
    this.ended = false;
    this.stats = {
      closed: 0, wins: 0, losses: 0, realised: 0, peak: this.balance, maxDrawdown: 0, spreadPaid: 0, commissionPaid: 0,
    };
    this.equityHistory = [this.balance];
    return episode.index;
  }

  get step() { return this.cursor - this.episode.start; }
  get done() { return this.ended || this.step >= this.episode.length; }
  get price() { return this.candles.close[this.cursor]; }
  get time() { return this.candles.time[this.cursor]; }

  /** Unrealised pnl of every open position at the current close. */
  get unrealised() {
    let sum = 0;
    for (const p of this.positions.values()) sum += this.#openPnl(p);
    return sum;
  }

  /** The pnl a position would realise if closed at the current close, costs included. */
  #openPnl(p) {
    const { spread, commission } = this.config;
    const exit = this.price * (1 - p.side * spread / 2);
    return p.side * (exit - p.entry) * p.units - commission * exit * p.units;
  }

  get equity() { return this.balance + this.unrealised; }

  /**
   * Advance one candle and apply its exits, trailing moves, fills and time limits.
   * @returns {boolean} false when the episode was already done (nothing changes)
   */
  advance() {
    if (this.done) return false;
    this.cursor += 1;
    const k = this.candles;
    const o = k.open[this.cursor];
    const h = k.high[this.cursor];
    const l = k.low[this.cursor];
    const c = k.close[this.cursor];
    // A Map iterates safely while its current entry is deleted, which is all these loops do.
    for (const pos of this.positions.values()) {
      const exit = exitOnCandle(pos, o, h, l);
      if (exit) this.#closeUnits(pos, pos.units, exit.price, exit.code);
      else if (trailOnCandle(pos, h, l)) this.#event(EventCode.TRAILING_MOVED, pos.id, pos.trailStop, pos.units, 0);
    }
    for (const order of this.orders.values()) {
      const fill = fillOnCandle(order, o, h, l);
      if (fill === null) continue;
      this.orders.delete(order.id);
      const entry = this.#fill(fill, order.side, order.units);
      this.#open(order.id, order.side, order.units, entry, Source.ORDER, order.expiryStep, {
        takeProfit: order.tpFrac * entry, stopLoss: order.slFrac * entry, trail: order.trailFrac * entry,
      });
    }
    for (const pos of this.positions.values()) {
      if (pos.expiryStep <= this.step) this.#closeUnits(pos, pos.units, c, EventCode.TIME_LIMIT);
    }
    for (const order of this.orders.values()) {
      if (!(order.expiryStep <= this.step)) continue; // NaN = no time limit
      this.orders.delete(order.id);
      this.#event(EventCode.ORDER_EXPIRED, order.id, order.price, order.units, 0);
    }
    this.#recordEquity();
    return true;
  }

  #recordEquity() {
    const equity = this.equity;
    const s = this.stats;
    s.peak = Math.max(s.peak, equity);
    if (s.peak > 0) s.maxDrawdown = Math.max(s.maxDrawdown, (s.peak - equity) / s.peak);
    this.equityHistory[this.step] = equity;
  }

  #event(code, id, price, units, pnl) {
    this.events.push([code, this.step, this.time, id, price, units, pnl]);
  }

  /**
   * The price a trade of `side` gets at market price `price`; the spread paid is counted.
   * @param {number} price
   * @param {number} side +1 buys, -1 sells
   * @param {number} units
   */
  #fill(price, side, units) {
    const fill = price * (1 + side * this.config.spread / 2);
    this.stats.spreadPaid += Math.abs(fill - price) * units;
    return fill;
  }

  /** Commission of a fill, taken from the balance; returns it. */
  #commission(fill, units) {
    const fee = this.config.commission * fill * units;
    this.balance -= fee;
    this.stats.realised -= fee;
    this.stats.commissionPaid += fee;
    return fee;
  }

  /** Opens at the fill price `entry`. Offsets are price distances from the entry; NaN means none. */
  #open(id, side, units, entry, source, expiryStep, { takeProfit, stopLoss, trail }) {
    const pos = {
      id, side, units, entry, source, expiryStep, entryStep: this.step, realised: 0,
      takeProfit: entry + side * takeProfit,
      stopLoss: entry - side * stopLoss,
      trailDist: trail,
      trailStop: entry - side * trail,
      best: entry,
    };
    this.positions.set(id, pos);
    const fee = this.#commission(entry, units);
    pos.realised -= fee;
    this.#event(EventCode.FILLED, id, entry, units, 0 - fee);
    return pos;
  }

  /** Closes `units` of `pos` at market price `price`; returns [pnl, fill price]. */
  #closeUnits(pos, units, price, code) {
    const fill = this.#fill(price, -pos.side, units);
    const fee = this.config.commission * fill * units;
    const pnl = pos.side * (fill - pos.entry) * units - fee;
    this.stats.commissionPaid += fee;
    this.balance += pnl;
    this.stats.realised += pnl;
    pos.realised += pnl;
    pos.units -= units;
    this.#event(code, pos.id, fill, units, pnl);
    if (pos.units > DUST) return [pnl, fill];
    pos.units = 0;
    this.positions.delete(pos.id);
    this.stats.closed += 1;
    if (pos.realised > 0) this.stats.wins += 1;
    else if (pos.realised < 0) this.stats.losses += 1;
    return [pnl, fill];
  }

  /**
   * A pending limit or stop order. Offsets are fractions of the fill price; the time limit
   * (steps) bounds the order and the position it opens, counted from placement.
   * @param {{side:number, type:number, price:number, units:number, takeProfit:?number,
   *          stopLoss:?number, trailing:?number, timeLimit:?number}} o null = absent
   * @returns {number[]} [accepted, id, fill_price, reason]
   */
  placeOrder(o) {
    const reason = this.#rejectReason(o.units, [o.takeProfit, o.stopLoss, o.trailing])
      || (Number.isFinite(o.price) && o.price > 0 ? 0 : RejectReason.BAD_PRICE)
      || (o.timeLimit == null || (Number.isFinite(o.timeLimit) && o.timeLimit > 0) ? 0 : RejectReason.BAD_TIME_LIMIT);
    if (reason) return [0, 0, NaN, reason];
    const id = this.nextId++;
    this.orders.set(id, {
      id, side: o.side, type: o.type, price: o.price, units: o.units,
      tpFrac: o.takeProfit ?? NaN, slFrac: o.stopLoss ?? NaN, trailFrac: o.trailing ?? NaN,
      placedStep: this.step, expiryStep: o.timeLimit == null ? NaN : this.step + Math.ceil(o.timeLimit),
    });
    return [1, id, NaN, RejectReason.NONE];
  }

  /**
   * A market position filled at the current close; offsets are price distances.
   * @param {{side:number, units:number, takeProfit:?number, stopLoss:?number, trailing:?number}} t
   *   null = absent
   * @returns {number[]} [accepted, id, fill_price, reason]
   */
  placeTicket(t) {
    const reason = this.#rejectReason(t.units, [t.takeProfit, t.stopLoss, t.trailing]);
    if (reason) return [0, 0, NaN, reason];
    const id = this.nextId++;
    const entry = this.#fill(this.price, t.side, t.units);
    this.#open(id, t.side, t.units, entry, Source.TICKET, NaN,
      { takeProfit: t.takeProfit ?? NaN, stopLoss: t.stopLoss ?? NaN, trail: t.trailing ?? NaN });
    this.#recordEquity();
    return [1, id, entry, RejectReason.NONE];
  }

  #rejectReason(units, offsets) {
    if (this.done) return RejectReason.EPISODE_DONE;
    if (!(Number.isFinite(units) && units > 0)) return RejectReason.BAD_UNITS;
    if (offsets.some((v) => v != null && !(Number.isFinite(v) && v >= 0))) return RejectReason.BAD_OFFSET;
    return RejectReason.NONE;
  }

  /**
   * Close, reduce or cancel by id at the current close, one result row per entry.
   * @param {ArrayLike<number>} ids
   * @param {ArrayLike<number>} actions CloseAction
   * @param {ArrayLike<number>} ratios used by REDUCE only
   * @returns {{rows:number, cols:number, data:Float64Array}}
   */
  closePositions(ids, actions, ratios) {
    const cols = CLOSE_RESULT_FIELDS.length;
    const data = new Float64Array(ids.length * cols);
    for (let i = 0; i < ids.length; i++) {
      data[i * cols] = ids[i];
      data.set(this.#closeOne(ids[i], actions[i], ratios[i]), i * cols + 1);
    }
    this.#recordEquity();
    return { rows: ids.length, cols, data };
  }

  #closeOne(id, action, ratio) {
    const none = (status, remaining = NaN) => [status, 0, NaN, 0, remaining];
    if (action !== CloseAction.KEEP && action !== CloseAction.CLOSE && action !== CloseAction.REDUCE) {
      return none(CloseStatus.UNKNOWN_ACTION);
    }
    const pos = this.positions.get(id);
    const order = this.orders.get(id);
    if (!pos && !order) return none(CloseStatus.UNKNOWN_ID);
    if (order) {
      if (action === CloseAction.REDUCE) return none(CloseStatus.NOT_A_POSITION, order.units);
      if (action === CloseAction.KEEP) return none(CloseStatus.NOTHING, order.units);
      this.orders.delete(id);
      this.#event(EventCode.ORDER_CANCELLED, id, order.price, order.units, 0);
      return [CloseStatus.DONE, 0, NaN, 0, 0];
    }
    if (action === CloseAction.REDUCE && !(ratio >= 0 && ratio <= 1)) return none(CloseStatus.BAD_RATIO, pos.units);
    const share = action === CloseAction.CLOSE ? 1 : action === CloseAction.REDUCE ? ratio : 0;
    if (share === 0) return none(CloseStatus.NOTHING, pos.units);
    const units = share === 1 ? pos.units : pos.units * share;
    const code = share === 1 ? EventCode.CLOSED : EventCode.REDUCED;
    const [pnl, fill] = this.#closeUnits(pos, units, this.price, code);
    return [CloseStatus.DONE, units, fill, pnl, pos.units];
  }

  /** @returns {number[]} the snapshot vector, see SNAPSHOT_FIELDS */
  snapshot() {
    return [
      this.step, this.time, this.price, this.equity, this.balance, this.unrealised,
      this.positions.size, this.orders.size, this.done ? 1 : 0, this.episode.index, this.episode.type,
    ];
  }

  /** @returns {{rows:number, cols:number, data:Float64Array}} open positions, see TICKET_FIELDS */
  ticketList() {
    const cols = TICKET_FIELDS.length;
    const data = new Float64Array(this.positions.size * cols);
    let at = 0;
    for (const p of this.positions.values()) {
      data[at] = p.id;
      data[at + 1] = p.side;
      data[at + 2] = p.units;
      data[at + 3] = p.entry;
      data[at + 4] = p.entryStep;
      data[at + 5] = this.price;
      data[at + 6] = this.#openPnl(p);
      data[at + 7] = p.takeProfit;
      data[at + 8] = p.stopLoss;
      data[at + 9] = p.trailStop;
      data[at + 10] = p.expiryStep;
      data[at + 11] = p.source;
      at += cols;
    }
    return { rows: this.positions.size, cols, data };
  }

  /** @returns {{rows:number, cols:number, data:Float64Array}} the last ohlcWindow candles up to now */
  ohlc() {
    const k = this.candles;
    const from = Math.max(0, this.cursor + 1 - this.config.ohlcWindow);
    const rows = [];
    for (let i = from; i <= this.cursor; i++) rows.push([k.time[i], k.open[i], k.high[i], k.low[i], k.close[i], k.volume[i]]);
    return matrix(rows, OHLC_FIELDS.length);
  }

  /** @returns {{rows:number, cols:number, data:Float64Array}} events since the last fetch, then cleared */
  fetchEvents() {
    const out = matrix(this.events, EVENT_FIELDS.length);
    this.events = [];
    return out;
  }

  /**
   * Close everything at the current close, cancel pending orders and end the episode.
   * @returns {{rows:number, cols:number, data:Float64Array}} one row, see SUMMARY_FIELDS
   */
  endSession() {
    for (const pos of [...this.positions.values()]) this.#closeUnits(pos, pos.units, this.price, EventCode.SESSION_END);
    for (const order of [...this.orders.values()]) this.#event(EventCode.ORDER_CANCELLED, order.id, order.price, order.units, 0);
    this.orders.clear();
    this.#recordEquity();
    this.ended = true;
    const s = this.stats;
    return matrix([[
      this.episode.index, this.episode.type, this.step, this.config.initialEquity, this.equity,
      s.realised, s.closed, s.wins, s.losses, s.maxDrawdown, s.spreadPaid, s.commissionPaid,
    ]], SUMMARY_FIELDS.length);
  }
}

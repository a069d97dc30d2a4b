/**
 * What the page shows beyond the simulation's own state: every entry and exit of the current
 * episode (markers on the chart) and the result of every episode that ended (the history
 * chart). Fed after each message the page handled; reads the simulation, never changes it.
 *
 * The simulation keeps its events only until the engine fetches them, so the recorder reads
 * the event list after every message: a fetch replaces the list, which the recorder notices
 * by its identity, and an episode reset replaces the equity history in the same way.
 */
import { EventCode } from './rules.js';

const EXIT_CODES = new Set([
  EventCode.TAKE_PROFIT, EventCode.STOP_LOSS, EventCode.TRAILING_STOP, EventCode.TIME_LIMIT,
  EventCode.CLOSED, EventCode.REDUCED, EventCode.SESSION_END,
]);

/**
 * @typedef {object} Mark an entry or exit on the chart
 * @property {boolean} exit
 * @property {number} id position id
 * @property {number} step episode step of the fill
 * @property {number} price
 * @property {number} side +1 buy, -1 sell (0 when unknown)
 * @property {number} units
 * @property {number} pnl realised by an exit; 0 for an entry
 * @property {number} code EventCode
 * @property {Mark|null} entry for an exit, the entry of its position when seen
 */

/**
 * @typedef {object} EpisodeResult
 * @property {number} seq 1 for the first episode that ended on this page
 * @property {number} type 0 train, 1 test
 * @property {number} index
 * @property {number} steps
 * @property {number} initial equity at the start
 * @property {number} final equity at the end
 * @property {number} trades closed positions
 * @property {number} wins
 * @property {number} maxDrawdown fraction of the peak
 * @property {number} costs spread and commission paid in the episode
 * @property {boolean} complete ended by end_session, not cut short by a reset
 */

export class Recorder {
  /**
   * @param {import('./sim.js').Simulation} sim
   * @param {{maxMarks?: number, maxEpisodes?: number}} [limits] oldest dropped beyond these
   */
  constructor(sim, { maxMarks = 20000, maxEpisodes = 1000 } = {}) {
    this.sim = sim;
    this.maxMarks = maxMarks;
    this.maxEpisodes = maxEpisodes;
    /** @type {Mark[]} in step order */
    this.marks = [];
    /** @type {EpisodeResult[]} oldest first */
    this.history = [];
    this.ended = 0;
    this.#follow();
  }

  #follow() {
    const sim = this.sim;
    this.episode = sim.episode;
    this.equity = sim.equityHistory;
    this.stats = sim.stats;
    this.recorded = false;
    this.events = sim.events;
    this.seen = 0;
    this.marks = [];
    this.entries = new Map(); // position id -> entry mark
    this.orderSides = new Map(); // pending order id -> side, for fills closed in the same step
  }

  /** Take in what the last message changed. */
  update() {
    const sim = this.sim;
    if (sim.equityHistory !== this.equity) {
      if (!this.recorded && this.equity.length > 1) this.#record(false);
      this.#follow();
    }
    if (sim.events !== this.events) {
      this.events = sim.events;
      this.seen = 0;
    }
    while (this.seen < this.events.length) this.#apply(this.events[this.seen++]);
    if (sim.orders.size) for (const o of sim.orders.values()) this.orderSides.set(o.id, o.side);
    if (sim.ended && !this.recorded) this.#record(true);
  }

  #apply([code, step, , id, price, units, pnl]) {
    if (code === EventCode.FILLED) {
      const side = this.sim.positions.get(id)?.side ?? this.orderSides.get(id) ?? 0;
      const mark = { exit: false, id, step, price, side, units, pnl: 0, code, entry: null };
      this.entries.set(id, mark);
      this.#push(mark);
    } else if (EXIT_CODES.has(code)) {
      const entry = this.entries.get(id) ?? null;
      this.#push({ exit: true, id, step, price, side: entry?.side ?? 0, units, pnl, code, entry });
    }
  }

  #push(mark) {
    if (this.marks.length >= this.maxMarks) this.marks.splice(0, this.marks.length - this.maxMarks + 1);
    this.marks.push(mark);
  }

  #record(complete) {
    this.recorded = true;
    const h = this.equity;
    const s = this.stats;
    this.ended += 1;
    if (this.history.length >= this.maxEpisodes) this.history.shift();
    this.history.push({
      seq: this.ended, type: this.episode.type, index: this.episode.index, steps: h.length - 1,
      initial: h[0], final: h[h.length - 1], trades: s.closed, wins: s.wins,
      maxDrawdown: s.maxDrawdown, costs: s.spreadPaid + s.commissionPaid, complete,
    });
  }

  /**
   * Index of the first mark at or after `step` (marks are in step order).
   * @param {number} step
   * @returns {number}
   */
  firstMarkFrom(step) {
    let lo = 0;
    let hi = this.marks.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (this.marks[mid].step < step) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }
}

/**
 * The page's speed limit: replies to stepping requests (step_next, step_and_sync) leave no
 * faster than `limit` per second, so that a person can follow the run. Other replies keep
 * their place in line behind a held one. No reply is ever held longer than `maxHoldMs`, far
 * below the engine's time-outs (10 s; 5 s for get_sync_policy), so a call never fails because
 * of the limit; an engine that sends many steps at once is merely slowed less than asked.
 */
import { Fn } from './functions.js';

const STEPPING = new Set([Fn.STEP_NEXT, Fn.STEP_AND_SYNC]);
const FN_ID_OFFSET = 8;

/** Steps per second a person can choose; 0 is no limit. */
export const SPEED_LIMITS = Object.freeze([1, 2, 5, 10, 20, 50, 100, 200, 500, 0]);

/**
 * @param {Uint8Array} frame an encoded reply
 * @returns {boolean} whether it answers a stepping request
 */
export function isStepReply(frame) {
  return frame.length > FN_ID_OFFSET + 1 && STEPPING.has(frame[FN_ID_OFFSET] | (frame[FN_ID_OFFSET + 1] << 8));
}

export class Pacer {
  /**
   * @param {{now?: () => number, setTimer?: (fn: () => void, ms: number) => unknown,
   *          clearTimer?: (t: unknown) => void, maxHoldMs?: number}} [clock]
   */
  constructor({
    now = () => performance.now(), setTimer = (fn, ms) => setTimeout(fn, ms), clearTimer = (t) => clearTimeout(t),
    maxHoldMs = 1500,
  } = {}) {
    Object.assign(this, { now, setTimer, clearTimer, maxHoldMs });
    this.limit = 0;
    this.bypass = false; // set while nobody can see the page: replies leave at once
    this.steps = 0; // stepping replies sent
    this.queue = []; // {frame, send, due}, due never decreasing
    this.nextSlot = 0;
    this.timer = null;
  }

  /** @returns {boolean} whether replies are being held now */
  get active() { return this.limit > 0 && !this.bypass; }

  /**
   * Send `frame` through `send`, at once or when its turn comes.
   * @param {Uint8Array} frame
   * @param {(frame: Uint8Array) => void} send
   */
  send(frame, send) {
    const step = isStepReply(frame);
    const now = this.now();
    let due = this.queue.length ? this.queue[this.queue.length - 1].due : now;
    if (step && this.active) {
      due = Math.min(Math.max(due, this.nextSlot), now + this.maxHoldMs);
      this.nextSlot = due + 1000 / this.limit;
    }
    if (!this.queue.length && due <= now) {
      if (step) this.steps += 1;
      send(frame);
      return;
    }
    this.queue.push({ frame, send, due, step });
    this.#arm();
  }

  /**
   * Change the limit; held replies are re-timed to the new one (or sent, with none).
   * @param {number} limit steps per second, 0 = none
   */
  setLimit(limit) {
    this.limit = limit;
    this.#retime();
  }

  /** @param {boolean} on true while the page is hidden */
  setBypass(on) {
    this.bypass = on;
    this.#retime();
  }

  /** Forget held replies (their connection is gone). */
  clear() {
    this.queue = [];
    this.clearTimer(this.timer);
    this.timer = null;
  }

  #retime() {
    const now = this.now();
    this.nextSlot = now;
    let due = now;
    for (const item of this.queue) {
      if (item.step && this.active) {
        due = Math.max(due, this.nextSlot);
        this.nextSlot = due + 1000 / this.limit;
      }
      item.due = Math.min(Math.max(due, now), item.due);
      due = item.due;
    }
    this.#arm();
  }

  #arm() {
    this.clearTimer(this.timer);
    this.timer = null;
    if (!this.queue.length) return;
    this.timer = this.setTimer(() => this.#flush(), Math.max(0, this.queue[0].due - this.now()));
  }

  #flush() {
    this.timer = null;
    const now = this.now();
    while (this.queue.length && this.queue[0].due <= now + 1) {
      const { frame, send, step } = this.queue.shift();
      if (step) this.steps += 1;
      send(frame);
    }
    this.#arm();
  }
}

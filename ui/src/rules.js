/**
 * Price rules of one candle, pure functions over plain order/position records.
 * Within a candle the path between open, high and low is unknown, so the rules are pessimistic:
 * stops are tested before take-profits, and a trailing stop only moves after the candle's
 * exits were tested. A price that gaps through a level fills at the open.
 */

/** Event codes of fetch_events rows (column 0). */
export const EventCode = Object.freeze({
  FILLED: 1,
  TAKE_PROFIT: 2,
  STOP_LOSS: 3,
  TRAILING_STOP: 4,
  TRAILING_MOVED: 5,
  TIME_LIMIT: 6,
  ORDER_EXPIRED: 7,
  CLOSED: 8,
  REDUCED: 9,
  ORDER_CANCELLED: 10,
  SESSION_END: 11,
});

/** Order types as sent by place_order. */
export const OrderType = Object.freeze({ LIMIT: 1, STOP: -1 });

/**
 * The tighter of stop-loss and trailing stop (ties count as stop-loss), or null.
 * @param {{side:number, stopLoss:number, trailStop:number}} pos
 * @returns {{price:number, code:number}|null}
 */
export function activeStop(pos) {
  const { side, stopLoss, trailStop } = pos;
  if (Number.isNaN(trailStop)) return Number.isNaN(stopLoss) ? null : { price: stopLoss, code: EventCode.STOP_LOSS };
  if (Number.isNaN(stopLoss)) return { price: trailStop, code: EventCode.TRAILING_STOP };
  const trailTighter = side > 0 ? trailStop > stopLoss : trailStop < stopLoss;
  return trailTighter
    ? { price: trailStop, code: EventCode.TRAILING_STOP }
    : { price: stopLoss, code: EventCode.STOP_LOSS };
}

/**
 * Exit of an open position on a candle: stop first, then take-profit.
 * @param {{side:number, stopLoss:number, trailStop:number, takeProfit:number}} pos
 * @param {number} open
 * @param {number} high
 * @param {number} low
 * @returns {{price:number, code:number}|null}
 */
export function exitOnCandle(pos, open, high, low) {
  const long = pos.side > 0;
  const stop = activeStop(pos);
  if (stop && (long ? low <= stop.price : high >= stop.price)) {
    return { price: long ? Math.min(stop.price, open) : Math.max(stop.price, open), code: stop.code };
  }
  const tp = pos.takeProfit;
  if (!Number.isNaN(tp) && (long ? high >= tp : low <= tp)) {
    return { price: long ? Math.max(tp, open) : Math.min(tp, open), code: EventCode.TAKE_PROFIT };
  }
  return null;
}

/**
 * Follow the best price of the candle with the trailing stop; mutates `pos`.
 * @param {{side:number, trailDist:number, trailStop:number, best:number}} pos
 * @param {number} high
 * @param {number} low
 * @returns {boolean} whether the stop moved
 */
export function trailOnCandle(pos, high, low) {
  if (Number.isNaN(pos.trailDist)) return false;
  const long = pos.side > 0;
  pos.best = long ? Math.max(pos.best, high) : Math.min(pos.best, low);
  const next = pos.best - pos.side * pos.trailDist;
  if (long ? next > pos.trailStop : next < pos.trailStop) {
    pos.trailStop = next;
    return true;
  }
  return false;
}

/**
 * Fill price of a pending order on a candle, or null. A buy limit fills when the low reaches
 * the price, a buy stop when the high does; sells mirror that.
 * @param {{side:number, type:number, price:number}} order
 * @param {number} open
 * @param {number} high
 * @param {number} low
 * @returns {number|null}
 */
export function fillOnCandle(order, open, high, low) {
  const fillsOnDrop = (order.side > 0) === (order.type === OrderType.LIMIT);
  if (fillsOnDrop) return low <= order.price ? Math.min(order.price, open) : null;
  return high >= order.price ? Math.max(order.price, open) : null;
}

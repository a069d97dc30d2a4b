/**
 * Column names of every numeric reply, in order. get_rl_config sends them too, so a caller can
 * index replies by name instead of by position.
 */
export const SNAPSHOT_FIELDS = Object.freeze([
  'step', 'time', 'close', 'equity', 'balance', 'unrealised_pnl',
  'open_positions', 'pending_orders', 'done', 'episode_index', 'episode_type',
]);

export const TICKET_FIELDS = Object.freeze([
  'id', 'side', 'units', 'entry_price', 'entry_step', 'price', 'unrealised_pnl',
  'take_profit_price', 'stop_loss_price', 'trailing_stop_price', 'expiry_step', 'source',
]);

export const OHLC_FIELDS = Object.freeze(['time', 'open', 'high', 'low', 'close', 'volume']);

export const EVENT_FIELDS = Object.freeze(['code', 'step', 'time', 'id', 'price', 'units', 'pnl']);

export const SUMMARY_FIELDS = Object.freeze([
  'episode_index', 'episode_type', 'steps', 'initial_equity', 'final_equity', 'realised_pnl',
  'closed_trades', 'winning_trades', 'losing_trades', 'max_drawdown', 'spread_paid', 'commission_paid',
]);

export const CLOSE_RESULT_FIELDS = Object.freeze([
  'id', 'status', 'closed_units', 'price', 'pnl', 'remaining_units',
]);

export const ORDER_REPLY_FIELDS = Object.freeze(['accepted', 'id', 'fill_price', 'reason']);

/** Reasons in column 3 of a place_order / place_ticket reply (0 = accepted). */
export const RejectReason = Object.freeze({
  NONE: 0,
  BAD_UNITS: 1,
  BAD_PRICE: 2,
  BAD_OFFSET: 3,
  BAD_TIME_LIMIT: 4,
  EPISODE_DONE: 5,
});

/** Status in column 1 of a close_positions result row. */
export const CloseStatus = Object.freeze({
  DONE: 1,
  NOTHING: 0,
  UNKNOWN_ID: -1,
  UNKNOWN_ACTION: -2,
  BAD_RATIO: -3,
  NOT_A_POSITION: -4,
});

/** Action codes of close_positions. */
export const CloseAction = Object.freeze({ KEEP: 0, CLOSE: 1, REDUCE: 2 });

/** Position source in the ticket list. */
export const Source = Object.freeze({ ORDER: 1, TICKET: 2 });

/**
 * Row-major matrix from rows of equal length.
 * @param {number[][]} rows
 * @param {number} cols column count, kept even when there are no rows
 * @returns {{rows:number, cols:number, data:Float64Array}}
 */
export function matrix(rows, cols) {
  const data = new Float64Array(rows.length * cols);
  rows.forEach((row, r) => data.set(row, r * cols));
  return { rows: rows.length, cols, data };
}

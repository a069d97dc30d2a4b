/** Function identifiers (fnId) of the engine's requests, and their names for display. */
export const Fn = Object.freeze({
  STEP_NEXT: 2,
  GET_TICKET_LIST: 10,
  GET_SNAPSHOT: 12,
  GET_OHLC: 15,
  PLACE_ORDER: 20,
  PLACE_TICKET: 21,
  FETCH_EVENTS: 30,
  CLOSE_POSITIONS: 31,
  END_SESSION: 40,
  INIT_CANDLES: 100,
  RESET_EPISODE: 101,
  GET_RL_CONFIG: 102,
  GET_SYNC_POLICY: 120,
  STEP_AND_SYNC: 130,
});

const NAMES = new Map(Object.entries(Fn).map(([key, id]) => [id, key.toLowerCase()]));

/**
 * @param {number} fnId
 * @returns {string} e.g. 'step_and_sync', or 'fn#<id>' for an unknown identifier
 */
export function fnName(fnId) {
  return NAMES.get(fnId) ?? `fn#${fnId}`;
}

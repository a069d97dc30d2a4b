/** The get_rl_config document: settings of the running simulation plus every reply layout. */
import {
  SNAPSHOT_FIELDS, TICKET_FIELDS, OHLC_FIELDS, EVENT_FIELDS, SUMMARY_FIELDS,
  CLOSE_RESULT_FIELDS, ORDER_REPLY_FIELDS, RejectReason, CloseStatus, CloseAction,
} from './layout.js';
import { EventCode } from './rules.js';
import { MARKETS } from './markets.js';

const lowerKeys = (table) => Object.fromEntries(Object.entries(table).map(([k, v]) => [k.toLowerCase(), v]));

/**
 * @param {import('./sim.js').Simulation} sim
 * @param {{syncPolicy: string}} options
 * @returns {object} JSON-ready description
 */
export function describeConfig(sim, { syncPolicy }) {
  const c = sim.config;
  return {
    protocol_version: 1,
    seed: c.seed,
    instrument: c.instrument,
    candle_source: sim.candleSource,
    candle_count: sim.candles.length,
    candle_seconds: c.candleSeconds,
    episode_length: sim.split.length,
    train_episodes: sim.split.train,
    test_episodes: sim.split.test,
    initial_equity: c.initialEquity,
    market: sim.candleSource === 'generated' ? c.market : null,
    market_edge: sim.candleSource === 'generated' ? MARKETS[c.market].edge : null,
    volatility: c.volatility,
    trend_drift: c.trendDrift,
    trend_switch: c.trendSwitch,
    revert_rate: c.revertRate,
    spread: c.spread,
    commission: c.commission,
    ohlc_window: c.ohlcWindow,
    sync_policy: syncPolicy,
    episode: { index: sim.episode.index, type: sim.episode.type ? 'test' : 'train' },
    snapshot_fields: SNAPSHOT_FIELDS,
    ticket_fields: TICKET_FIELDS,
    ohlc_fields: OHLC_FIELDS,
    event_fields: EVENT_FIELDS,
    event_codes: lowerKeys(EventCode),
    summary_fields: SUMMARY_FIELDS,
    close_result_fields: CLOSE_RESULT_FIELDS,
    close_actions: lowerKeys(CloseAction),
    close_status: lowerKeys(CloseStatus),
    order_reply_fields: ORDER_REPLY_FIELDS,
    reject_reasons: lowerKeys(RejectReason),
  };
}

/**
 * The markets of generated candles. Each is a process of log returns, one per candle, driven by
 * standard normal numbers; its parameters are settings, and `edge` says what a policy that knows
 * the process can earn before costs.
 */
import { generateCandles } from './candles.js';
import { episodeRandom, gaussian } from './prng.js';

/**
 * @typedef {object} Market
 * @property {string[]} params setting keys the market reads besides volatility
 * @property {string} edge
 * @property {(config: object, uniform: () => number, normal: () => number) => () => number}
 *   start returns the next log return at each call
 */

/** @type {Record<string, Market>} */
export const MARKETS = Object.freeze({
  random_walk: {
    params: [],
    edge: 'none: every policy earns zero on average before costs, and loses the costs it pays',
    start: ({ volatility }, _uniform, normal) => () => volatility * normal(),
  },
  trend: {
    params: ['trendDrift', 'trendSwitch'],
    edge: 'a policy that holds the side of the current regime earns trend_drift of the price per '
      + 'step; regimes last 1 / trend_switch steps on average, so the last few returns reveal them',
    start: ({ volatility, trendDrift, trendSwitch }, uniform, normal) => {
      let regime = uniform() < 0.5 ? 1 : -1;
      return () => {
        if (uniform() < trendSwitch) regime = -regime;
        return regime * trendDrift + volatility * normal();
      };
    },
  },
  mean_revert: {
    params: ['revertRate'],
    edge: 'the log price is pulled back to the start price by revert_rate of its distance each '
      + 'step, so a position against the deviation earns that share of it per step',
    start: ({ volatility, revertRate }, _uniform, normal) => {
      let level = 0; // log(price / start price)
      return () => {
        const r = -revertRate * level + volatility * normal();
        level += r;
        return r;
      };
    },
  },
});

/**
 * The candles of one generated episode: ohlcWindow - 1 candles of history, then the episode's
 * length + 1 candles, all from the episode's own random stream.
 * @param {object} config simulation settings (market, its parameters, volatility, ...)
 * @param {number} type 0 train, 1 test
 * @param {number} index episode index within its set
 * @returns {{candles: import('./candles.js').Candles, start: number}} start: the episode's first candle
 */
export function episodeCandles(config, type, index) {
  const uniform = episodeRandom(config.seed, type, index);
  const normal = gaussian(uniform);
  const start = config.ohlcWindow - 1;
  const logReturn = MARKETS[config.market].start(config, uniform, normal);
  const candles = generateCandles({ ...config, count: start + config.episodeLength + 1 }, uniform, normal, logReturn);
  return { candles, start };
}

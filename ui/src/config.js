/**
 * Settings shared by the page (query string) and the headless runner (command line):
 *   seed, sync (deferred|eager), episode_length, train_episodes, test_episodes, initial_equity,
 *   ohlc_window, market (random_walk|trend|mean_revert), volatility, trend_drift, trend_switch,
 *   revert_rate, spread, commission.
 */
import { DEFAULT_CONFIG } from './sim.js';
import { MARKETS } from './markets.js';

const u32 = (v) => Number.isInteger(v) && v >= 0 && v <= 0xffffffff;
const fraction = (v) => Number.isFinite(v) && v >= 0 && v < 1;

const NUMERIC = {
  seed: ['seed', u32],
  episode_length: ['episodeLength', (v) => Number.isInteger(v) && v >= 1],
  train_episodes: ['trainEpisodes', (v) => u32(v) && v >= 1],
  test_episodes: ['testEpisodes', u32],
  initial_equity: ['initialEquity', (v) => Number.isFinite(v) && v > 0],
  ohlc_window: ['ohlcWindow', (v) => Number.isInteger(v) && v >= 1 && v <= 100000],
  volatility: ['volatility', (v) => fraction(v) && v > 0],
  trend_drift: ['trendDrift', fraction],
  trend_switch: ['trendSwitch', (v) => fraction(v) || v === 1],
  revert_rate: ['revertRate', (v) => fraction(v) || v === 1],
  spread: ['spread', fraction],
  commission: ['commission', fraction],
};

/** Every setting name, in the order the documentation lists them. */
export const SETTING_NAMES = Object.freeze(['seed', 'sync', 'market', ...Object.keys(NUMERIC).slice(1)]);

/**
 * @param {Record<string, string|undefined>} params raw values by name (query or CLI)
 * @param {string[]} [others] further names the caller reads itself (the page's `ws`, ...)
 * @returns {{sim: Partial<typeof DEFAULT_CONFIG>, syncPolicy: 'deferred'|'eager'}}
 * @throws {RangeError} naming the first unknown or bad setting
 */
export function parseSettings(params, others = []) {
  for (const name of Object.keys(params)) {
    if (!SETTING_NAMES.includes(name) && !others.includes(name)) {
      throw new RangeError(`unknown setting: ${name} (known: ${[...SETTING_NAMES, ...others].join(', ')})`);
    }
  }
  const sim = {};
  for (const [name, [key, valid]] of Object.entries(NUMERIC)) {
    const raw = params[name];
    if (raw === undefined || raw === null || raw === '') continue;
    const value = Number(raw);
    if (!valid(value)) throw new RangeError(`bad ${name}: ${raw}`);
    sim[key] = value;
  }
  if (params.market) {
    if (!Object.hasOwn(MARKETS, params.market)) {
      throw new RangeError(`bad market: ${params.market} (known: ${Object.keys(MARKETS).join(', ')})`);
    }
    sim.market = params.market;
  }
  const syncPolicy = params.sync || 'deferred';
  if (syncPolicy !== 'deferred' && syncPolicy !== 'eager') throw new RangeError(`bad sync: ${syncPolicy}`);
  return { sim, syncPolicy };
}

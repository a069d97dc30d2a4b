/**
 * Settings shared by the page (query string) and the headless runner (command line):
 *   seed, sync (deferred|eager), episode_length, train_episodes, test_episodes, initial_equity,
 *   ohlc_window.
 */
import { DEFAULT_CONFIG } from './sim.js';

const NUMERIC = {
  seed: ['seed', (v) => Number.isInteger(v) && v >= 0 && v <= 0xffffffff],
  episode_length: ['episodeLength', (v) => Number.isInteger(v) && v >= 1],
  train_episodes: ['trainEpisodes', (v) => Number.isInteger(v) && v >= 1],
  test_episodes: ['testEpisodes', (v) => Number.isInteger(v) && v >= 0],
  initial_equity: ['initialEquity', (v) => Number.isFinite(v) && v > 0],
  ohlc_window: ['ohlcWindow', (v) => Number.isInteger(v) && v >= 1],
};

/**
 * @param {Record<string, string|undefined>} params raw values by name (query or CLI)
 * @returns {{sim: Partial<typeof DEFAULT_CONFIG>, syncPolicy: 'deferred'|'eager'}}
 * @throws {RangeError} naming the first bad setting
 */
export function parseSettings(params) {
  const sim = {};
  for (const [name, [key, valid]] of Object.entries(NUMERIC)) {
    const raw = params[name];
    if (raw === undefined || raw === null || raw === '') continue;
    const value = Number(raw);
    if (!valid(value)) throw new RangeError(`bad ${name}: ${raw}`);
    sim[key] = value;
  }
  const syncPolicy = params.sync || 'deferred';
  if (syncPolicy !== 'deferred' && syncPolicy !== 'eager') throw new RangeError(`bad sync: ${syncPolicy}`);
  return { sim, syncPolicy };
}

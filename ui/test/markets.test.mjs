import test from 'node:test';
import assert from 'node:assert/strict';
import { Simulation } from '../src/sim.js';
import { parseSettings } from '../src/config.js';

/** Lag-1 autocorrelation of the log returns of `episodes` train episodes. */
function lagOneCorrelation(config, episodes) {
  const sim = new Simulation(config);
  let cross = 0;
  let square = 0;
  for (let e = 0; e < episodes; e++) {
    sim.resetEpisode(e, 0);
    const c = sim.candles.close;
    for (let i = 2; i < c.length; i++) {
      const [r0, r1] = [Math.log(c[i - 1] / c[i - 2]), Math.log(c[i] / c[i - 1])];
      cross += r0 * r1;
      square += r1 * r1;
    }
  }
  return cross / square;
}

test('each market shows its structure in the autocorrelation of returns', () => {
  const cases = [['random_walk', -0.02, 0.02], ['trend', 0.05, 1], ['mean_revert', -1, -0.02]];
  for (const seed of [1, 2]) {
    for (const [market, low, high] of cases) {
      const rho = lagOneCorrelation({ market, seed }, 100);
      assert.ok(rho > low && rho < high, `${market} seed ${seed}: ${rho}`);
    }
  }
});

test('episodes are distinct across indices and types, and the same on every visit', () => {
  const sim = new Simulation({ seed: 9, trainEpisodes: 300, testEpisodes: 300 });
  const key = () => Array.from(sim.candles.close.subarray(sim.episode.start, sim.episode.start + 3)).join();
  const seen = new Map();
  for (const type of [0, 1]) {
    for (let index = 0; index < 300; index++) {
      sim.resetEpisode(index, type);
      assert.ok(!seen.has(key()), `${type}/${index} repeats ${seen.get(key())}`);
      seen.set(key(), `${type}/${index}`);
    }
  }
  assert.equal(sim.resetEpisode(317, 1), 17, 'indices wrap around their set');
  assert.equal(seen.get(key()), '1/17');
  assert.notEqual(new Simulation({ seed: 10 }).candles.close[70], new Simulation({ seed: 9 }).candles.close[70]);
});

test('settings: values are checked and unknown names refused with the known ones', () => {
  const parsed = parseSettings({ market: 'trend', spread: '0', commission: '0.001', train_episodes: '5000000', ws: 'x' }, ['ws']);
  assert.deepEqual(parsed.sim, { market: 'trend', spread: 0, commission: 0.001, trainEpisodes: 5000000 });
  const bad = [
    [{ market: 'sideways' }, /bad market: sideways \(known: random_walk, trend, mean_revert\)$/],
    [{ spread: '-0.1' }, /bad spread: -0.1$/],
    [{ commission: 'x' }, /bad commission: x$/],
    [{ trend_switch: '1.5' }, /bad trend_switch: 1.5$/],
    [{ volatility: '0' }, /bad volatility: 0$/],
    [{ test_episodes: '4294967296' }, /bad test_episodes: 4294967296$/],
    [{ episode_lenght: '50' }, /unknown setting: episode_lenght \(known: seed, sync, market, episode_length, .*commission\)$/],
    [{ ws: 'x' }, /unknown setting: ws/],
  ];
  for (const [params, message] of bad) assert.throws(() => parseSettings(params), message, JSON.stringify(params));
});

/**
 * A fixed script of trading calls on loaded candles, replayed against a fresh simulation; the
 * equity after every call is the trajectory compared with a recording.
 */
import { Simulation } from '../src/sim.js';
import { mulberry32 } from '../src/prng.js';
import { EpisodeType } from '../src/episodes.js';

/** 201 candles [time, open, high, low, close, volume] from a seeded walk. */
export function scriptCandles() {
  const u = mulberry32(2024);
  const rows = [];
  let close = 50;
  for (let i = 0; i < 201; i++) {
    const open = close;
    close = open * (1 + (u() - 0.5) * 0.02);
    rows.push([1600000000 + 60 * i, open, Math.max(open, close) * (1 + u() * 0.004),
      Math.min(open, close) * (1 - u() * 0.004), close, 100 + i]);
  }
  return { rows: rows.length, cols: 6, data: rows.flat() };
}

/**
 * @param {object} settings simulation settings on top of episodeLength 40
 * @returns {{split: object, episodes: {index:number, type:number, equity:number[], summary:number[]}[]}}
 */
export function replayScript(settings = {}) {
  const sim = new Simulation({ episodeLength: 40, ...settings });
  sim.loadCandles(scriptCandles());
  const u = mulberry32(7);
  const episodes = [];
  for (const [index, type] of [[0, EpisodeType.TRAIN], [3, EpisodeType.TRAIN], [0, EpisodeType.TEST]]) {
    sim.resetEpisode(index, type);
    const equity = [sim.equity];
    for (let step = 0; step < 35; step++) {
      const r = u();
      const side = u() < 0.5 ? 1 : -1;
      const units = 1 + Math.floor(u() * 5);
      const ids = [...sim.positions.keys(), ...sim.orders.keys()];
      if (r < 0.2) sim.placeTicket({ side, units, takeProfit: u() < 0.5 ? u() : null, stopLoss: u() < 0.5 ? u() : null, trailing: u() < 0.3 ? u() : null });
      else if (r < 0.35) {
        sim.placeOrder({ side, type: u() < 0.5 ? 1 : -1, units, price: sim.price * (1 + (u() - 0.5) * 0.01),
          takeProfit: u() < 0.5 ? 0.01 : null, stopLoss: u() < 0.5 ? 0.005 : null, trailing: u() < 0.3 ? 0.004 : null,
          timeLimit: u() < 0.5 ? 1 + Math.floor(u() * 6) : null });
      } else if (r < 0.45 && ids.length) sim.closePositions([ids[0]], [1], [0]);
      else if (r < 0.55 && ids.length) sim.closePositions(ids, ids.map(() => 2), ids.map(() => 0.5));
      equity.push(sim.equity);
      sim.advance();
      equity.push(sim.equity);
    }
    const summary = Array.from(sim.endSession().data);
    equity.push(sim.equity);
    episodes.push({ index, type, equity, summary });
  }
  return { split: sim.split, episodes };
}

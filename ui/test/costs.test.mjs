import test from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { EventCode } from '../src/rules.js';
import { SUMMARY_FIELDS } from '../src/layout.js';
import { replayScript } from './replay.mjs';
import { simOver, after, rowsOf } from './helpers.mjs';

const ticket = (side, extra = {}) => ({ side, units: 2, takeProfit: null, stopLoss: null, trailing: null, ...extra });
const ENTRY = new Set([EventCode.FILLED]);
const FILLS = new Set([EventCode.FILLED, EventCode.TAKE_PROFIT, EventCode.STOP_LOSS, EventCode.TRAILING_STOP,
  EventCode.TIME_LIMIT, EventCode.CLOSED, EventCode.REDUCED, EventCode.SESSION_END]);

// Each case: one position of `side`, its fills ending with `last`. Exits gap through their
// levels, so that every fill has the same market price with and without costs.
const CASES = [
  { name: 'ticket closed by close_positions', side: 1, last: EventCode.CLOSED,
    bars: [[100, 101, 99, 100.5]], act: (sim) => { sim.placeTicket(ticket(1)); sim.advance(); sim.closePositions([1], [1], [0]); } },
  { name: 'take-profit', side: -1, last: EventCode.TAKE_PROFIT,
    bars: [[96, 96.5, 95, 96]], act: (sim) => { sim.placeTicket(ticket(-1, { takeProfit: 2 })); sim.advance(); } },
  { name: 'stop-loss', side: 1, last: EventCode.STOP_LOSS,
    bars: [[97, 97.2, 96, 97.5]], act: (sim) => { sim.placeTicket(ticket(1, { stopLoss: 1 })); sim.advance(); } },
  { name: 'trailing stop', side: 1, last: EventCode.TRAILING_STOP,
    bars: [[100, 104, 100, 103.5], [102, 102.6, 99, 99.5]],
    act: (sim) => { sim.placeTicket(ticket(1, { trailing: 1 })); sim.advance(); sim.advance(); } },
  { name: 'limit order filled, then its time limit', side: 1, last: EventCode.TIME_LIMIT,
    bars: [[100, 100.2, 98, 99], [99, 101, 98.5, 100.7]],
    act: (sim) => { sim.placeOrder({ ...ticket(1), type: 1, price: 99, timeLimit: 2 }); sim.advance(); sim.advance(); } },
  { name: 'reduction, then end_session', side: -1, last: EventCode.SESSION_END,
    bars: [[100, 100.2, 98, 99]],
    act: (sim) => { sim.placeTicket(ticket(-1)); sim.advance(); sim.closePositions([1], [2], [0.5]); } },
];

test('spread and commission are charged on every kind of fill', () => {
  for (const { name, side, last, bars, act } of CASES) {
    const run = (costs) => {
      const sim = simOver(after(100, [...bars, [100, 100, 100, 100]]), costs);
      act(sim);
      const equity = sim.equity;
      const summary = Object.fromEntries(rowsOf(sim.endSession())[0].map((v, i) => [SUMMARY_FIELDS[i], v]));
      assert.ok(Math.abs(summary.final_equity - equity) < 1e-9, `${name}: equity counts the costs of closing`);
      return { summary, fills: rowsOf(sim.fetchEvents()).filter(([code]) => FILLS.has(code)) };
    };
    const plain = run({});
    const costly = run({ spread: 0.002, commission: 0.001 });
    assert.deepEqual(costly.fills.map(([code]) => code), plain.fills.map(([code]) => code), name);
    assert.ok(plain.fills.some(([code]) => code === last), `${name}: ${last} happens`);
    costly.fills.forEach(([code, , , , price, units, pnl], i) => {
      const worse = ENTRY.has(code) ? side : -side; // a buy pays more, a sell gets less
      assert.ok(worse * (price - plain.fills[i][4]) > 0, `${name}: fill ${code} pays the spread`);
      assert.ok(pnl < plain.fills[i][6], `${name}: fill ${code} pays commission`);
      assert.equal(units, plain.fills[i][5], name);
    });
    const paid = costly.summary.spread_paid + costly.summary.commission_paid;
    assert.ok(costly.summary.spread_paid > 0 && costly.summary.commission_paid > 0, name);
    assert.deepEqual([plain.summary.spread_paid, plain.summary.commission_paid], [0, 0], name);
    assert.ok(Math.abs(plain.summary.final_equity - costly.summary.final_equity - paid) < 1e-9, `${name}: costs add up`);
    assert.ok(Math.abs(costly.summary.final_equity - costly.summary.initial_equity - costly.summary.realised_pnl) < 1e-9, name);
  }
});

test('a buy and a sell at the same moment are the spread apart', () => {
  const sim = simOver(after(100, [[100, 100, 100, 100]]), { spread: 0.002 });
  const [, id, bought] = sim.placeTicket(ticket(1));
  const [[, , , sold]] = rowsOf(sim.closePositions([id], [1], [0]));
  assert.ok(Math.abs(bought - sold - 0.2) < 1e-12);
});

test('loaded candles without costs replay the recorded equity exactly', () => {
  const recorded = JSON.parse(readFileSync(new URL('./fixtures/loaded-candles-replay.json', import.meta.url)));
  const replayed = replayScript({ spread: 0, commission: 0 });
  assert.deepEqual(replayed.split, recorded.split);
  recorded.episodes.forEach((want, i) => {
    const got = replayed.episodes[i];
    assert.deepEqual([got.index, got.type, got.equity], [want.index, want.type, want.equity]);
    assert.deepEqual(got.summary.slice(0, want.summary.length), want.summary, 'summary columns kept');
  });
});

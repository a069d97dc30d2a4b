import test from 'node:test';
import assert from 'node:assert/strict';
import { Simulation } from '../src/sim.js';
import { EventCode } from '../src/rules.js';
import { CloseStatus, RejectReason } from '../src/layout.js';
import { simOver, after, rowsOf } from './helpers.mjs';

const BUY = 1;
const SELL = -1;
const LIMIT = 1;
const STOP = -1;
const order = (o) => ({ units: 1, takeProfit: null, stopLoss: null, trailing: null, timeLimit: null, ...o });
const ticket = (t) => ({ units: 1, takeProfit: null, stopLoss: null, trailing: null, ...t });
const run = (sim, steps) => { for (let i = 0; i < steps; i++) sim.advance(); return rowsOf(sim.fetchEvents()); };
const codes = (events) => events.map(([code, step, , , price]) => [code, step, price]);

test('limit and stop orders fill when the price crosses, at the open after a gap', () => {
  const cases = [
    { name: 'buy limit', o: { side: BUY, type: LIMIT, price: 99 }, bars: [[100, 101, 99.5, 100], [100, 100.5, 98, 99]], step: 2, fill: 99 },
    { name: 'buy limit gap', o: { side: BUY, type: LIMIT, price: 99 }, bars: [[97, 98, 96, 97]], step: 1, fill: 97 },
    { name: 'sell limit', o: { side: SELL, type: LIMIT, price: 101 }, bars: [[100, 100.9, 99, 100], [100, 101.5, 99, 101]], step: 2, fill: 101 },
    { name: 'buy stop', o: { side: BUY, type: STOP, price: 101 }, bars: [[100, 101, 99, 100.5]], step: 1, fill: 101 },
    { name: 'buy stop gap', o: { side: BUY, type: STOP, price: 101 }, bars: [[103, 104, 102, 103]], step: 1, fill: 103 },
    { name: 'sell stop', o: { side: SELL, type: STOP, price: 99 }, bars: [[100, 100, 99.2, 99.5], [99.5, 99.6, 98.5, 99]], step: 2, fill: 99 },
  ];
  for (const { name, o, bars, step, fill } of cases) {
    const sim = simOver(after(100, [...bars, [100, 100, 100, 100]]));
    const [accepted, id, fillPrice] = sim.placeOrder(order(o));
    assert.deepEqual([accepted, Number.isNaN(fillPrice)], [1, true], name);
    assert.deepEqual(codes(run(sim, bars.length)), [[EventCode.FILLED, step, fill]], name);
    assert.deepEqual(rowsOf(sim.ticketList()).map((r) => [r[0], r[1], r[3], r[4]]), [[id, o.side, fill, step]], name);
    assert.equal(sim.orders.size, 0, name);
  }
});

test('take-profit and stop-loss close positions, stop first within one candle', () => {
  const cases = [
    { name: 'buy tp', t: { side: BUY, takeProfit: 2 }, bar: [100, 102.5, 99.5, 101], code: EventCode.TAKE_PROFIT, price: 102 },
    { name: 'buy sl', t: { side: BUY, stopLoss: 1 }, bar: [100, 100.5, 98, 99.5], code: EventCode.STOP_LOSS, price: 99 },
    { name: 'both touched', t: { side: BUY, takeProfit: 1, stopLoss: 1 }, bar: [100, 102, 98, 100], code: EventCode.STOP_LOSS, price: 99 },
    { name: 'sell tp', t: { side: SELL, takeProfit: 2 }, bar: [100, 100.5, 97, 99], code: EventCode.TAKE_PROFIT, price: 98 },
    { name: 'sell sl', t: { side: SELL, stopLoss: 0.5 }, bar: [100, 101, 99, 100], code: EventCode.STOP_LOSS, price: 100.5 },
    { name: 'buy sl gap', t: { side: BUY, stopLoss: 1 }, bar: [97, 98, 96, 97.5], code: EventCode.STOP_LOSS, price: 97 },
    { name: 'buy tp gap', t: { side: BUY, takeProfit: 1 }, bar: [104, 105, 103, 104], code: EventCode.TAKE_PROFIT, price: 104 },
  ];
  for (const { name, t, bar, code, price } of cases) {
    const sim = simOver(after(100, [bar, bar]));
    sim.placeTicket(ticket({ ...t, units: 4 }));
    const events = run(sim, 1);
    assert.deepEqual(codes(events), [[EventCode.FILLED, 0, 100], [code, 1, price]], name);
    assert.equal(events[1][6], t.side * (price - 100) * 4, `${name} pnl`);
    assert.equal(sim.balance, 1000 + t.side * (price - 100) * 4, `${name} balance`);
    assert.equal(sim.positions.size, 0, name);
  }
});

test('order offsets are fractions of the fill price', () => {
  const sim = simOver(after(100, [[100, 100, 99, 100], [100, 100, 100, 100]]));
  sim.placeOrder(order({ side: BUY, type: LIMIT, price: 100, takeProfit: 0.02, stopLoss: 0.01, trailing: 0.005 }));
  run(sim, 1);
  const [row] = rowsOf(sim.ticketList());
  assert.deepEqual(row.slice(7, 10), [102, 99, 99.5]);
});

test('a trailing stop follows the best price and closes the position', () => {
  const cases = [
    { side: BUY, bars: [[100, 103, 99.5, 102.5], [102.5, 102.6, 101.5, 101.8]], moved: 102, closed: 102 },
    { side: SELL, bars: [[100, 100.5, 97, 97.5], [97.5, 98.5, 97.4, 98.2]], moved: 98, closed: 98 },
  ];
  for (const { side, bars, moved, closed } of cases) {
    const sim = simOver(after(100, [...bars, bars[1]]));
    sim.placeTicket(ticket({ side, trailing: 1, units: 2 }));
    assert.equal(rowsOf(sim.ticketList())[0][9], 100 - side);
    const events = run(sim, 2);
    assert.deepEqual(codes(events), [
      [EventCode.FILLED, 0, 100], [EventCode.TRAILING_MOVED, 1, moved], [EventCode.TRAILING_STOP, 2, closed],
    ]);
    assert.equal(sim.balance, 1000 + side * (closed - 100) * 2);
  }
});

test('a time limit ends the pending order or the position it opened', () => {
  const flat = (n) => Array.from({ length: n }, () => [100, 100.5, 99.5, 100]);
  const expire = simOver(after(100, flat(4)));
  expire.placeOrder(order({ side: BUY, type: LIMIT, price: 90, timeLimit: 1.5 }));
  assert.deepEqual(codes(run(expire, 3)), [[EventCode.ORDER_EXPIRED, 2, 90]]);
  assert.equal(expire.orders.size, 0);

  const hold = simOver(after(100, [[100, 100.5, 99, 100], [100, 101, 99.5, 100.5], [100.5, 101.5, 100, 101], [101, 101, 101, 101]]));
  hold.placeOrder(order({ side: BUY, type: LIMIT, price: 99.5, timeLimit: 3, units: 10 }));
  const events = run(hold, 4);
  assert.deepEqual(codes(events), [[EventCode.FILLED, 1, 99.5], [EventCode.TIME_LIMIT, 3, 101]]);
  assert.equal(events[1][6], 15);
});

test('close_positions closes, reduces by ratio, cancels orders and reports per id', () => {
  const sim = simOver(after(100, [[100, 102, 100, 102], [102, 102, 102, 102]]));
  const [, pos] = sim.placeTicket(ticket({ side: BUY, units: 10 }));
  const [, pending] = sim.placeOrder(order({ side: SELL, type: LIMIT, price: 110 }));
  run(sim, 1);
  const result = rowsOf(sim.closePositions([pos, pos, 77, pos, pending, pending, pos, pos], [2, 0, 1, 9, 2, 1, 2, 1], [0.25, 0, 0, 0, 0.5, 0, 1.5, 0]));
  assert.deepEqual(result, [
    [pos, CloseStatus.DONE, 2.5, 102, 5, 7.5],
    [pos, CloseStatus.NOTHING, 0, NaN, 0, 7.5],
    [77, CloseStatus.UNKNOWN_ID, 0, NaN, 0, NaN],
    [pos, CloseStatus.UNKNOWN_ACTION, 0, NaN, 0, NaN],
    [pending, CloseStatus.NOT_A_POSITION, 0, NaN, 0, 1],
    [pending, CloseStatus.DONE, 0, NaN, 0, 0],
    [pos, CloseStatus.BAD_RATIO, 0, NaN, 0, 7.5],
    [pos, CloseStatus.DONE, 7.5, 102, 15, 0],
  ]);
  assert.deepEqual(codes(rowsOf(sim.fetchEvents())), [
    [EventCode.REDUCED, 1, 102], [EventCode.ORDER_CANCELLED, 1, 110], [EventCode.CLOSED, 1, 102],
  ]);
  assert.equal(sim.balance, 1020);
  const again = rowsOf(sim.closePositions([pos], [2], [1]));
  assert.equal(again[0][1], CloseStatus.UNKNOWN_ID);
});

test('reduce events, full close events and the ratio 1 reduce', () => {
  const sim = simOver(after(100, [[100, 101, 100, 101], [101, 101, 101, 101]]));
  const [, a] = sim.placeTicket(ticket({ side: SELL, units: 4 }));
  const [, b] = sim.placeTicket(ticket({ side: BUY, units: 2 }));
  run(sim, 1);
  sim.closePositions([a, b], [2, 2], [0.5, 1]);
  assert.deepEqual(rowsOf(sim.fetchEvents()).map(([code, , , id, price, units, pnl]) => [code, id, price, units, pnl]), [
    [EventCode.REDUCED, a, 101, 2, -2],
    [EventCode.CLOSED, b, 101, 2, 2],
  ]);
  assert.deepEqual([sim.positions.size, sim.stats.closed], [1, 1]);
});

test('equity is balance plus unrealised pnl, and end_session settles everything', () => {
  const sim = simOver(after(100, [[100, 105, 100, 105], [105, 105, 95, 96], [96, 96, 96, 96]]));
  sim.placeTicket(ticket({ side: BUY, units: 2 }));
  sim.placeTicket(ticket({ side: SELL, units: 1, takeProfit: 8 }));
  sim.placeOrder(order({ side: BUY, type: LIMIT, price: 50 }));
  run(sim, 1);
  let snap = sim.snapshot();
  assert.deepEqual(snap.slice(2, 9), [105, 1005, 1000, 5, 2, 1, 0]);
  run(sim, 1); // the sell's take-profit at 92 is not reached (low 95)
  snap = sim.snapshot();
  assert.deepEqual(snap.slice(2, 6), [96, 1000 - 8 + 4, 1000, -8 + 4]);
  const [summary] = rowsOf(sim.endSession());
  assert.deepEqual(summary, [0, 0, 2, 1000, 996, -4, 2, 1, 1, 9 / 1005, 0, 0]);
  assert.deepEqual(codes(rowsOf(sim.fetchEvents())).map(([code]) => code), [
    EventCode.SESSION_END, EventCode.SESSION_END, EventCode.ORDER_CANCELLED,
  ]);
  assert.deepEqual([sim.done, sim.advance(), sim.step], [true, false, 2]);
  assert.equal(sim.placeTicket(ticket({ side: BUY }))[3], RejectReason.EPISODE_DONE);
});

test('invalid trading values are rejected in the reply, not applied', () => {
  const sim = simOver(after(100, [[100, 100, 100, 100]]));
  const cases = [
    [order({ side: BUY, type: LIMIT, price: 100, units: 0 }), RejectReason.BAD_UNITS],
    [order({ side: BUY, type: LIMIT, price: NaN }), RejectReason.BAD_PRICE],
    [order({ side: BUY, type: LIMIT, price: -1 }), RejectReason.BAD_PRICE],
    [order({ side: BUY, type: LIMIT, price: 100, stopLoss: -0.01 }), RejectReason.BAD_OFFSET],
    [order({ side: BUY, type: LIMIT, price: 100, trailing: NaN }), RejectReason.BAD_OFFSET],
    [order({ side: BUY, type: LIMIT, price: 100, timeLimit: 0 }), RejectReason.BAD_TIME_LIMIT],
    [order({ side: BUY, type: LIMIT, price: 100, timeLimit: NaN }), RejectReason.BAD_TIME_LIMIT],
  ];
  for (const [o, reason] of cases) assert.deepEqual(sim.placeOrder(o), [0, 0, NaN, reason]);
  assert.deepEqual(sim.placeTicket(ticket({ side: BUY, units: -3 })), [0, 0, NaN, RejectReason.BAD_UNITS]);
  assert.deepEqual([sim.orders.size, sim.positions.size, sim.nextId], [0, 0, 1]);
});

test('episodes: fixed length, done at the last candle, stepping past it changes nothing', () => {
  const sim = new Simulation({ seed: 5, episodeLength: 3, trainEpisodes: 2, testEpisodes: 1 });
  assert.deepEqual(sim.split, { length: 3, train: 2, test: 1 });
  assert.equal(sim.resetEpisode(1, 0), 1);
  assert.equal(sim.candles.length, sim.episode.start + 4);
  run(sim, 5);
  assert.deepEqual([sim.step, sim.done, sim.cursor - sim.episode.start, sim.snapshot()[8]], [3, true, 3, 1]);
});

test('candle matrices of 4, 5 and 6+ columns', () => {
  const cases = [
    { cols: 4, data: [1, 2, 0.5, 1.5, 1.5, 2, 1, 1.8], want: [1700000060, 1.5, 2, 1, 1.8, 0] },
    { cols: 5, data: [1, 2, 0.5, 1.5, 9, 1.5, 2, 1, 1.8, 7], want: [1700000060, 1.5, 2, 1, 1.8, 7] },
    { cols: 7, data: [10, 1, 2, 0.5, 1.5, 9, 0, 20, 1.5, 2, 1, 1.8, 7, 0], want: [20, 1.5, 2, 1, 1.8, 7] },
  ];
  for (const { cols, data, want } of cases) {
    const sim = new Simulation();
    sim.loadCandles({ rows: 2, cols, data });
    sim.advance();
    assert.deepEqual(rowsOf(sim.ohlc()).at(-1), want, `${cols} columns`);
    assert.equal(sim.done, true);
  }
});

test('the same seed and calls give the same numbers; another seed does not', () => {
  const script = (seed) => {
    const sim = new Simulation({ seed });
    sim.placeTicket(ticket({ side: BUY, units: 3, trailing: 0.1 }));
    sim.placeOrder(order({ side: SELL, type: STOP, price: sim.price * 0.998, stopLoss: 0.001, timeLimit: 30 }));
    const trace = [];
    for (let i = 0; i < 60; i++) { sim.advance(); trace.push(sim.snapshot()); }
    return { trace, events: rowsOf(sim.fetchEvents()), ohlc: rowsOf(sim.ohlc()) };
  };
  assert.deepEqual(script(42), script(42));
  assert.notDeepEqual(script(42).ohlc, script(43).ohlc);
  for (const [, o, h, l, c] of script(7).ohlc) assert.ok(h >= Math.max(o, c) && l <= Math.min(o, c));
});

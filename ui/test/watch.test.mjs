import test from 'node:test';
import assert from 'node:assert/strict';
import { Recorder } from '../src/recorder.js';
import { Pacer, isStepReply } from '../src/pacer.js';
import { EventCode } from '../src/rules.js';
import { CloseAction } from '../src/layout.js';
import { EpisodeType } from '../src/episodes.js';
import { Fn } from '../src/functions.js';
import { encodeFrame, Kind } from '../src/frame.js';
import { money, signedMoney, percent, price, units, clock, day, niceStep } from '../src/format.js';
import { simOver, after } from './helpers.mjs';

const ticket = (t) => ({ units: 1, takeProfit: null, stopLoss: null, trailing: null, ...t });
const order = (o) => ({ units: 1, takeProfit: null, stopLoss: null, trailing: null, timeLimit: null, ...o });
const brief = (m) => [
  m.exit ? 'exit' : 'entry', m.id, m.step, m.side, m.price, m.code, Math.sign(m.pnl), m.entry?.step ?? null,
];

test('the recorder marks every entry and exit, across event fetches', () => {
  const sim = simOver(after(100, [[100, 101, 99.5, 100.5], [100.5, 102.5, 100, 102], [102, 102, 97.5, 98], [98, 98, 98, 98]]));
  const rec = new Recorder(sim);
  const feed = (action) => { action(); rec.update(); };
  feed(() => sim.placeTicket(ticket({ side: 1, units: 2, takeProfit: 2 })));
  // A sell limit at 101 with a one-step time limit: filled on candle 1 and closed there too.
  feed(() => sim.placeOrder(order({ side: -1, type: 1, price: 101, units: 3, timeLimit: 1 })));
  feed(() => sim.advance());
  feed(() => sim.fetchEvents());
  feed(() => sim.advance()); // the ticket takes its profit at 102
  feed(() => sim.placeTicket(ticket({ side: 1, units: 4 })));
  feed(() => sim.advance()); // down to 98
  feed(() => sim.fetchEvents());
  feed(() => sim.closePositions([3], [CloseAction.REDUCE], [0.5]));
  feed(() => sim.endSession());
  assert.deepEqual(rec.marks.map(brief), [
    ['entry', 1, 0, 1, 100, EventCode.FILLED, 0, null],
    ['entry', 2, 1, -1, 101, EventCode.FILLED, 0, null],
    ['exit', 2, 1, -1, 100.5, EventCode.TIME_LIMIT, 1, 1],
    ['exit', 1, 2, 1, 102, EventCode.TAKE_PROFIT, 1, 0],
    ['entry', 3, 2, 1, 102, EventCode.FILLED, 0, null],
    ['exit', 3, 3, 1, 98, EventCode.REDUCED, -1, 2],
    ['exit', 3, 3, 1, 98, EventCode.SESSION_END, -1, 2],
  ]);
  assert.deepEqual([0, 2, 3, 99].map((step) => rec.firstMarkFrom(step)), [0, 3, 5, 7]);
});

test('the recorder keeps one result per episode that ran, train and test apart', () => {
  const rising = Array.from({ length: 12 }, (_, i) => [100 + i, 101 + i, 99 + i, 101 + i]);
  const sim = simOver(after(100, rising), { episodeLength: 4, testEpisodes: 1, trainEpisodes: 2 });
  const rec = new Recorder(sim);
  const feed = (action) => { action(); rec.update(); };
  feed(() => sim.placeTicket(ticket({ side: 1, units: 1 })));
  for (let i = 0; i < 4; i++) feed(() => sim.advance());
  feed(() => sim.endSession()); // train #0: bought at 100, closed at 104
  feed(() => sim.resetEpisode(0, EpisodeType.TEST));
  feed(() => sim.resetEpisode(1, EpisodeType.TRAIN)); // a test episode of 0 steps: nothing to keep
  feed(() => sim.advance());
  feed(() => sim.advance());
  feed(() => sim.resetEpisode(0, EpisodeType.TEST)); // train #1 cut short after 2 steps
  assert.deepEqual(rec.history.map(({ seq, type, index, steps, initial, final, trades, wins, complete }) =>
    [seq, type, index, steps, initial, final, trades, wins, complete]), [
    [1, EpisodeType.TRAIN, 0, 4, 1000, 1004, 1, 1, true],
    [2, EpisodeType.TRAIN, 1, 2, 1000, 1000, 0, 0, false],
  ]);
  assert.deepEqual(rec.marks, []);
});

test('stepping replies are recognised by their function id', () => {
  const reply = (fnId) => encodeFrame(Kind.RESPONSE, 7, fnId, new Uint8Array(3));
  const fns = [Fn.STEP_NEXT, Fn.STEP_AND_SYNC, Fn.GET_SNAPSHOT, Fn.RESET_EPISODE];
  assert.deepEqual(fns.map((f) => isStepReply(reply(f))), [true, true, false, false]);
  assert.equal(isStepReply(new Uint8Array(4)), false);
});

/** A pacer on a hand-turned clock; `sent` lists [time, label] of every reply that left. */
function pacedRun() {
  let now = 0;
  const timers = [];
  const pacer = new Pacer({
    now: () => now,
    setTimer: (fn, ms) => { const t = { at: now + ms, fn }; timers.push(t); return t; },
    clearTimer: (t) => { const i = timers.indexOf(t); if (i >= 0) timers.splice(i, 1); },
    maxHoldMs: 1500,
  });
  const sent = [];
  const send = (label, fnId) => pacer.send(encodeFrame(Kind.RESPONSE, 1, fnId), () => sent.push([now, label]));
  const advance = (ms) => {
    const end = now + ms;
    for (;;) {
      timers.sort((a, b) => a.at - b.at);
      if (!timers.length || timers[0].at > end) break;
      const t = timers.shift();
      now = Math.max(now, t.at);
      t.fn();
    }
    now = end;
  };
  return { pacer, sent, send, advance, at: () => now };
}

test('the speed limit spaces stepping replies and keeps every reply in order', () => {
  const { pacer, sent, send, advance } = pacedRun();
  send('a', Fn.STEP_NEXT); // no limit: at once
  pacer.setLimit(10);
  send('b', Fn.STEP_NEXT); // first under the limit: at once
  send('c', Fn.STEP_AND_SYNC); // 100 ms later
  send('d', Fn.GET_SNAPSHOT); // behind c
  advance(250);
  send('e', Fn.STEP_NEXT); // slot free again: at once
  assert.deepEqual(sent, [[0, 'a'], [0, 'b'], [100, 'c'], [100, 'd'], [250, 'e']]);
  assert.equal(pacer.steps, 4);
});

test('no reply is held longer than the bound, and lifting the limit sends the held ones', () => {
  const cases = [
    { name: 'many steps at once', limit: 1, then: (r) => r.advance(5000), expect: [0, 1000, 1500, 1500] },
    { name: 'limit lifted', limit: 1, then: (r) => { r.advance(10); r.pacer.setLimit(0); r.advance(0); }, expect: [0, 10, 10, 10] },
    { name: 'page hidden', limit: 2, then: (r) => { r.advance(20); r.pacer.setBypass(true); r.advance(0); }, expect: [0, 20, 20, 20] },
  ];
  for (const { name, limit, then, expect } of cases) {
    const run = pacedRun();
    run.pacer.setLimit(limit);
    for (const label of ['s1', 's2', 's3', 's4']) run.send(label, Fn.STEP_NEXT);
    then(run);
    assert.deepEqual(run.sent.map(([t]) => t), expect, name);
    assert.deepEqual(run.sent.map(([, l]) => l), ['s1', 's2', 's3', 's4'], name);
  }
});

test('numbers read as a person expects', () => {
  const cases = [
    [money(12345.678), '12,345.68'], [money(-0.004), '0.00'], [money(-2.5), '\u22122.50'],
    [signedMoney(1.5), '+1.50'], [signedMoney(-0.25), '\u22120.25'], [signedMoney(0), '0.00'],
    [signedMoney(NaN), '—'], [percent(0.1234), '12.3%'], [percent(-0.0005, 2), '\u22120.05%'],
    [price(101.256, 0.05), '101.26'], [price(1.23456, 0.005), '1.235'], [price(100, 10), '100.00'],
    [units(2.5000000001), '2.5'], [clock(1700000000), '22:13'], [day(1700000000), 'Nov 14'],
    [niceStep(7, 4), 2], [niceStep(0.3, 5), 0.05], [niceStep(1000, 3), 200],
  ];
  for (const [got, want] of cases) assert.equal(got, want);
});

import test from 'node:test';
import assert from 'node:assert/strict';
import { Placer } from '../src/placement.js';

const box = (x, y, w = 10, h = 10) => ({ x, y, w, h });

test('a label takes its first free candidate inside the bounds, or is dropped', () => {
  const placer = new Placer(box(0, 0, 100, 100));
  placer.block(box(40, 40)); // a marker
  const cases = [
    // [candidates, the box taken (null: dropped)]
    [[box(45, 45), box(50, 40)], box(50, 40)], // first covers the marker; the second only touches it
    [[box(55, 45), box(95, 0), box(-5, 60), box(0, 0)], box(0, 0)], // the label placed above, out of bounds
    [[box(5, 5), box(45, 35)], null], // every candidate collides: dropped
    [[box(20, 20, 5, 5)], box(20, 20, 5, 5)],
  ];
  for (const [candidates, taken] of cases) assert.deepEqual(placer.place(candidates), taken, JSON.stringify(candidates));
  assert.equal(placer.taken.length, 4, 'a dropped label takes no room');
  assert.deepEqual(placer.place([box(95, 0)], box(0, 0, 200, 200)), box(95, 0), 'bounds given per call');
});

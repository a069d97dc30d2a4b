/**
 * Split of a candle series into fixed-length episodes. Episode g covers candles
 * g*L .. g*L+L (L+1 candles, L steps); consecutive episodes share their boundary candle.
 * The first `train` episodes form the train set, the rest the test set.
 */

export const EpisodeType = Object.freeze({ TRAIN: 0, TEST: 1 });

/**
 * @param {number} candleCount
 * @param {number} wantedLength episode length in steps
 * @param {number} testShare fraction of episodes kept for testing, 0..1
 * @returns {{length:number, train:number, test:number}}
 */
export function splitEpisodes(candleCount, wantedLength, testShare) {
  const length = Math.max(1, Math.min(wantedLength, candleCount - 1));
  const total = Math.floor((candleCount - 1) / length);
  const test = total >= 2 ? Math.min(total - 1, Math.max(1, Math.round(total * testShare))) : 0;
  return { length, train: total - test, test };
}

/**
 * Locate an episode; the index wraps around the size of its set.
 * @param {{length:number, train:number, test:number}} split
 * @param {number} index
 * @param {number} type EpisodeType
 * @returns {{index:number, type:number, start:number, length:number}|null} null for an empty set
 */
export function locateEpisode(split, index, type) {
  const count = type === EpisodeType.TEST ? split.test : split.train;
  if (count === 0) return null;
  const selected = index % count;
  const global = type === EpisodeType.TEST ? split.train + selected : selected;
  return { index: selected, type, start: global * split.length, length: split.length };
}

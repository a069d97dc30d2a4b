/**
 * mulberry32: a tiny 32-bit PRNG; the same seed gives the same sequence on every engine.
 * @param {number} seed
 * @returns {() => number} uniform numbers in [0, 1)
 */
export function mulberry32(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

/**
 * Standard normal numbers from a uniform source (Box-Muller).
 * @param {() => number} uniform
 * @returns {() => number}
 */
export function gaussian(uniform) {
  return () => {
    const u = 1 - uniform(); // (0, 1]: log stays finite
    return Math.sqrt(-2 * Math.log(u)) * Math.cos(2 * Math.PI * uniform());
  };
}

/**
 * sfc32 (Small Fast Counting): 128 bits of state, so that every (seed, kind, index) below
 * starts a stream of its own.
 * @param {number} a
 * @param {number} b
 * @param {number} c
 * @param {number} d
 * @returns {() => number} uniform numbers in [0, 1)
 */
export function sfc32(a, b, c, d) {
  a >>>= 0; b >>>= 0; c >>>= 0; d >>>= 0;
  const next = () => {
    const t = (((a + b) >>> 0) + d) >>> 0;
    d = (d + 1) >>> 0;
    a = b ^ (b >>> 9);
    b = (c + (c << 3)) >>> 0;
    c = ((c << 21) | (c >>> 11)) >>> 0;
    c = (c + t) >>> 0;
    return t / 4294967296;
  };
  for (let i = 0; i < 15; i++) next(); // mix the seed words into every state word
  return next;
}

/**
 * The random source of one generated episode. The state is the triple itself (plus a constant),
 * so distinct episodes, train or test, never share a starting state.
 * @param {number} seed u32
 * @param {number} type 0 train, 1 test
 * @param {number} index u32
 * @returns {() => number}
 */
export function episodeRandom(seed, type, index) {
  return sfc32(seed, index, 0x9e3779b9 ^ type, 1);
}

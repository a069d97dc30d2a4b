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

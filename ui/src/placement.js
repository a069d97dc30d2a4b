/**
 * Greedy label placement, as charting libraries resolve label collisions: boxes already taken
 * (markers, tags, labels placed earlier) are kept in a list; a label tries its candidate
 * positions in order of preference and takes the first that stays inside the bounds and
 * overlaps nothing taken, or is dropped when none does. Earlier labels win, so callers place
 * the most important ones first.
 */

/** @typedef {{x: number, y: number, w: number, h: number}} Box */

/** @param {Box} a @param {Box} b @returns {boolean} the boxes share some area */
export function overlaps(a, b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

export class Placer {
  /** @param {Box} [bounds] where labels may go (anywhere when omitted) */
  constructor(bounds) {
    this.bounds = bounds;
    /** @type {Box[]} */
    this.taken = [];
  }

  /** Marks a box as taken (a marker, a tag) without placing anything. */
  block(box) {
    this.taken.push(box);
  }

  /**
   * @param {Box} box
   * @param {Box} [bounds] instead of the placer's own
   * @returns {boolean} the box is inside the bounds and overlaps nothing taken
   */
  free(box, bounds = this.bounds) {
    const b = bounds;
    if (b && (box.x < b.x || box.y < b.y || box.x + box.w > b.x + b.w || box.y + box.h > b.y + b.h)) return false;
    return !this.taken.some((t) => overlaps(t, box));
  }

  /**
   * Takes the first free box among the candidates.
   * @param {Box[]} candidates in order of preference
   * @param {Box} [bounds] instead of the placer's own
   * @returns {Box|null} the box taken, or null: the label is dropped
   */
  place(candidates, bounds = this.bounds) {
    const box = candidates.find((c) => this.free(c, bounds)) ?? null;
    if (box) this.taken.push(box);
    return box;
  }
}

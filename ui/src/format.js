/** Number and time texts of the page. */

const MONEY = new Intl.NumberFormat('en-US', { minimumFractionDigits: 2, maximumFractionDigits: 2 });
const MINUS = '\u2212';

/** 12345.6 -> "12,345.60"; NaN -> "—" */
export function money(v) {
  if (!Number.isFinite(v)) return '—';
  const text = MONEY.format(Math.abs(v));
  return v < 0 && text !== '0.00' ? MINUS + text : text;
}

/** Money with its sign always shown: "+1.50", "−0.25", "0.00". */
export function signedMoney(v) {
  if (!Number.isFinite(v)) return '—';
  const text = money(v);
  return v > 0 && text !== '0.00' ? `+${text}` : text;
}

/** 0.1234 -> "12.3%" */
export function percent(fraction, digits = 1) {
  if (!Number.isFinite(fraction)) return '—';
  return `${fraction < 0 ? MINUS : ''}${Math.abs(fraction * 100).toFixed(digits)}%`;
}

/** A price with as many decimals as `step` (the axis step) needs, at least two. */
export function price(v, step = 0.01) {
  if (!Number.isFinite(v)) return '—';
  const digits = Math.min(8, Math.max(2, Math.ceil(-Math.log10(step) - 1e-9)));
  return (v < 0 ? MINUS : '') + Math.abs(v).toFixed(digits);
}

/** Units without float noise: 2.5000000001 -> "2.5" */
export function units(v) {
  return String(+v.toPrecision(10));
}

const pad = (n) => String(n).padStart(2, '0');
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];

/** Unix seconds -> "14:05" (UTC). */
export function clock(seconds) {
  const d = new Date(seconds * 1000);
  return `${pad(d.getUTCHours())}:${pad(d.getUTCMinutes())}`;
}

/** Unix seconds -> "Nov 14" (UTC). */
export function day(seconds) {
  const d = new Date(seconds * 1000);
  return `${MONTHS[d.getUTCMonth()]} ${d.getUTCDate()}`;
}

/**
 * A round axis step near span / count: 1, 2 or 5 times a power of ten.
 * @param {number} span
 * @param {number} count wanted number of steps
 */
export function niceStep(span, count) {
  const raw = span / Math.max(1, count);
  const power = 10 ** Math.floor(Math.log10(raw));
  const f = raw / power;
  return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * power;
}

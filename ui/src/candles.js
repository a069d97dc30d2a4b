/**
 * Candle series, stored column-wise: time, open, high, low, close, volume (Float64Array each).
 */

/**
 * @typedef {{length:number, time:Float64Array, open:Float64Array, high:Float64Array,
 *            low:Float64Array, close:Float64Array, volume:Float64Array}} Candles
 */

function emptyCandles(length) {
  const col = () => new Float64Array(length);
  return { length, time: col(), open: col(), high: col(), low: col(), close: col(), volume: col() };
}

/**
 * Candles of a market: each opens at the previous close and closes at open * exp(r), r the
 * market's next log return; wicks and volume come from the same random source.
 * @param {{count:number, startPrice:number, volatility:number, startTime:number,
 *          candleSeconds:number}} opts
 * @param {() => number} uniform numbers in [0, 1)
 * @param {() => number} normal standard normal numbers
 * @param {() => number} logReturn
 * @returns {Candles}
 */
export function generateCandles({ count, startPrice, volatility, startTime, candleSeconds }, uniform, normal, logReturn) {
  const c = emptyCandles(count);
  let prev = startPrice;
  for (let i = 0; i < count; i++) {
    const open = prev;
    const close = open * Math.exp(logReturn());
    c.time[i] = startTime + i * candleSeconds;
    c.open[i] = open;
    c.close[i] = close;
    c.high[i] = Math.max(open, close) * (1 + Math.abs(normal()) * volatility * 0.5);
    c.low[i] = Math.min(open, close) * (1 - Math.abs(normal()) * volatility * 0.5);
    c.volume[i] = 1000 + Math.floor(uniform() * 9000);
    prev = close;
  }
  return c;
}

/**
 * Candles from a row-major matrix sent by the engine. Column layouts:
 *   4 columns: open, high, low, close (volume 0)
 *   5 columns: open, high, low, close, volume
 *   6 or more: time, open, high, low, close, volume (further columns ignored)
 * Without a time column, candle i gets startTime + i * candleSeconds.
 * @param {{rows:number, cols:number, data:ArrayLike<number>}} mat cols >= 4
 * @param {{startTime:number, candleSeconds:number}} clock
 * @returns {Candles}
 */
export function candlesFromMatrix({ rows, cols, data }, { startTime, candleSeconds }) {
  const c = emptyCandles(rows);
  const shift = cols >= 6 ? 1 : 0;
  for (let r = 0; r < rows; r++) {
    const row = r * cols;
    c.time[r] = shift ? data[row] : startTime + r * candleSeconds;
    c.open[r] = data[row + shift];
    c.high[r] = data[row + shift + 1];
    c.low[r] = data[row + shift + 2];
    c.close[r] = data[row + shift + 3];
    c.volume[r] = cols >= 5 ? data[row + shift + 4] : 0;
  }
  return c;
}

#!/usr/bin/env node
// The headless reference UI with one protocol fault, for the conformance check's tests:
//   node tests/python/broken_ui.mjs ws://HOST:PORT columns|width|nan|seq|unmasked
//   columns   get_ohlc replies one column fewer than get_rl_config's ohlc_fields names
//   width     get_rl_config names no ticket_fields, and the first step_and_sync whose ticket
//             matrix has rows sends one column more than every later ticket matrix
//   nan       get_snapshot replies carry NaN as their last value
//   seq       get_snapshot replies carry seq + 1
//   unmasked  every frame the UI sends goes out without a mask
import { startHeadless } from '../../ui/headless.mjs';
import { METHODS } from '../../ui/src/methods.js';
import { Fn } from '../../ui/src/functions.js';
import { encodeMatF64, encodeVecF64, encodeVecMatF64 } from '../../ui/src/payload.js';

const [url, fault] = process.argv.slice(2);
const FAULTS = ['columns', 'width', 'nan', 'seq', 'unmasked'];
if (!url || !FAULTS.includes(fault)) {
  console.error(`usage: node tests/python/broken_ui.mjs ws://HOST:PORT ${FAULTS.join('|')}`);
  process.exit(2);
}

if (fault === 'columns') {
  METHODS.set(Fn.GET_OHLC, (sim) => {
    const { rows, cols, data } = sim.ohlc();
    const kept = data.filter((_, i) => i % cols !== cols - 1);
    return encodeMatF64(rows, cols - 1, kept);
  });
}

if (fault === 'width') {
  const config = METHODS.get(Fn.GET_RL_CONFIG);
  METHODS.set(Fn.GET_RL_CONFIG, (sim, payload, options) => {
    const doc = JSON.parse(new TextDecoder().decode(config(sim, payload, options)));
    delete doc.ticket_fields;
    return new TextEncoder().encode(JSON.stringify(doc));
  });
  let widened = false;
  METHODS.set(Fn.STEP_AND_SYNC, (sim) => {
    sim.advance();
    const { rows, cols, data } = sim.ticketList();
    if (widened || rows === 0) return encodeVecMatF64(sim.snapshot(), { rows, cols, data });
    widened = true;
    const wide = [];
    for (let r = 0; r < rows; r++) wide.push(...data.slice(r * cols, (r + 1) * cols), 0);
    return encodeVecMatF64(sim.snapshot(), { rows, cols: cols + 1, data: wide });
  });
}

if (fault === 'nan') {
  METHODS.set(Fn.GET_SNAPSHOT, (sim) => encodeVecF64([...sim.snapshot().slice(0, -1), NaN]));
}

const { link, handler } = startHeadless({ url });

if (fault === 'seq') {
  const handle = handler.handle.bind(handler);
  handler.handle = (data) => {
    const reply = handle(data);
    const view = reply && new DataView(reply.buffer, reply.byteOffset, reply.byteLength);
    if (view && view.getUint16(8, true) === Fn.GET_SNAPSHOT) view.setUint32(4, view.getUint32(4, true) + 1, true);
    return reply;
  };
}

if (fault === 'unmasked') {
  const unmask = (socket) => {
    const send = socket.send.bind(socket);
    socket.send = (data) => send(data, { mask: false });
    return socket;
  };
  const create = link.createSocket;
  link.createSocket = (target) => unmask(create(target));
  if (link.socket) unmask(link.socket); // the first socket was opened by startHeadless
}

const stop = () => link.stop();
process.once('SIGINT', stop);
process.once('SIGTERM', stop);
link.stopped.then(() => process.exit(0));

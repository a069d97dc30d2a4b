/**
 * A WebSocket client for Node with the few parts of the browser's WebSocket that EngineLink uses
 * (onopen, onmessage, onerror, onclose, send, close, binaryType), written for the headless
 * runner's traffic: many small request/reply messages. The socket reads into one buffer kept for
 * the connection (no stream layer, no allocation per read), a message is parsed straight from
 * it, and a reply goes out as one write. Binary messages arrive as Node Buffers that are views
 * of received bytes, valid only during onmessage; text messages as strings. No extensions (no
 * compression).
 *
 * Frames sent carry an all-zero mask: masking protects browsers from caching proxies, which a
 * local process does not go through, and a zero mask leaves the bytes as they are.
 */
import net from 'node:net';
import { createHash, randomBytes } from 'node:crypto';

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const MAX_MESSAGE = 256 * 1024 * 1024;
const MAX_RESPONSE_HEAD = 16 * 1024;
const READ_BUFFER = 64 * 1024;
const EMPTY = Buffer.alloc(0);
const Op = Object.freeze({ CONTINUATION: 0, TEXT: 1, BINARY: 2, CLOSE: 8, PING: 9, PONG: 10 });

/**
 * A client frame with a zero mask around `payload`, in one buffer.
 * @param {number} opcode
 * @param {Uint8Array} payload
 * @param {boolean} [mask] false leaves the mask out, which servers must refuse (for tests of them)
 * @returns {Buffer}
 */
function clientFrame(opcode, payload, mask = true) {
  const length = payload.length;
  const extra = length < 126 ? 0 : length < 65536 ? 2 : 8;
  const head = 2 + extra + (mask ? 4 : 0);
  const out = Buffer.allocUnsafe(head + length);
  out[0] = 0x80 | opcode;
  if (extra === 0) out[1] = length;
  else if (extra === 2) {
    out[1] = 126;
    out.writeUInt16BE(length, 2);
  } else {
    out[1] = 127;
    out.writeBigUInt64BE(BigInt(length), 2);
  }
  if (mask) {
    out[1] |= 0x80;
    out.writeUInt32BE(0, 2 + extra);
  }
  out.set(payload, head);
  return out;
}

export class NodeWebSocket {
  /**
   * @param {string} url ws://host:port/path
   * @param {{origin?: string}} [options]
   */
  constructor(url, { origin } = {}) {
    const target = new URL(url);
    if (target.protocol !== 'ws:') throw new SyntaxError(`only ws:// URLs are supported, got ${url}`);
    this.binaryType = 'nodebuffer';
    this.onopen = null;
    this.onmessage = null;
    this.onerror = null;
    this.onclose = null;
    this.open = false;
    this.closeCode = 1006;
    this.closeReason = '';
    this.closeSent = false;
    this.pending = EMPTY; // bytes received and not parsed yet
    this.fragments = []; // payloads of a fragmented message
    this.fragmentOp = 0;
    this.fragmentBytes = 0;
    this.key = randomBytes(16).toString('base64');
    const host = target.hostname.replace(/^\[(.*)\]$/, '$1');
    this.socket = net.connect({
      host,
      port: Number(target.port || 80),
      onread: {
        buffer: Buffer.allocUnsafe(READ_BUFFER),
        callback: (n, buf) => {
          const chunk = buf.subarray(0, n);
          if (this.open) this.#frames(chunk);
          else this.#upgrade(chunk);
        },
      },
    });
    this.socket.setNoDelay(true);
    this.socket.on('connect', () => this.socket.write([
      `GET ${target.pathname}${target.search} HTTP/1.1`, `Host: ${target.host}`, 'Upgrade: websocket',
      'Connection: Upgrade', `Sec-WebSocket-Key: ${this.key}`, 'Sec-WebSocket-Version: 13',
      ...(origin ? [`Origin: ${origin}`] : []), '', '',
    ].join('\r\n')));
    this.socket.on('error', () => this.onerror?.({ type: 'error' }));
    this.socket.on('close', () => {
      this.open = false;
      this.onclose?.({ code: this.closeCode, reason: this.closeReason });
    });
  }

  /**
   * @param {Uint8Array|string} data a binary message, or a text message for a string
   * @param {{mask?: boolean}} [options] as the ws package's: mask false sends an unmasked frame
   */
  send(data, { mask = true } = {}) {
    if (!this.open || this.closeSent) return;
    const text = typeof data === 'string';
    this.socket.write(clientFrame(text ? Op.TEXT : Op.BINARY, text ? Buffer.from(data) : data, mask));
  }

  /**
   * Send a close frame and end the connection.
   * @param {number} [code]
   * @param {string} [reason]
   */
  close(code = 1000, reason = '') {
    if (!this.open) {
      this.socket.destroy();
      return;
    }
    if (!this.closeSent) {
      const text = Buffer.from(reason);
      const body = Buffer.alloc(2 + text.length);
      body.writeUInt16BE(code, 0);
      text.copy(body, 2);
      this.socket.write(clientFrame(Op.CLOSE, body));
      this.closeSent = true;
    }
    this.socket.end();
    this.socket.setTimeout(1000, () => this.socket.destroy());
  }

  #fail(code, reason) {
    this.open = false;
    this.closeCode = code;
    this.closeReason = reason;
    this.onerror?.({ type: 'error', message: reason });
    this.socket.destroy();
  }

  /** The HTTP answer to the upgrade request, then the frames that follow it. */
  #upgrade(chunk) {
    this.pending = Buffer.concat([this.pending, chunk]); // a copy: the read buffer is reused
    const end = this.pending.indexOf('\r\n\r\n');
    if (end < 0) {
      if (this.pending.length > MAX_RESPONSE_HEAD) this.#fail(1006, 'response head too long');
      return;
    }
    const [status, ...lines] = this.pending.subarray(0, end).toString('latin1').split('\r\n');
    const headers = new Map(lines.map((line) => {
      const colon = line.indexOf(':');
      return [line.slice(0, colon).trim().toLowerCase(), line.slice(colon + 1).trim()];
    }));
    const accept = createHash('sha1').update(this.key + GUID).digest('base64');
    if (!/^HTTP\/1\.1 101\b/.test(status)) return this.#fail(1006, `unexpected server response: ${status}`);
    if (headers.get('sec-websocket-accept') !== accept || headers.get('upgrade')?.toLowerCase() !== 'websocket') {
      return this.#fail(1006, 'invalid upgrade response');
    }
    const rest = this.pending.subarray(end + 4);
    this.pending = EMPTY;
    this.open = true;
    this.onopen?.({ type: 'open' });
    if (rest.length) this.#frames(rest);
    return undefined;
  }

  /** Parse every complete frame of the bytes received so far; keep a copy of the rest. */
  #frames(chunk) {
    const buf = this.pending.length ? Buffer.concat([this.pending, chunk]) : chunk;
    let at = 0;
    while (this.open && buf.length - at >= 2) {
      const b0 = buf[at];
      const b1 = buf[at + 1];
      let length = b1 & 0x7f;
      let head = 2;
      if (length === 126) {
        if (buf.length - at < 4) break;
        length = buf.readUInt16BE(at + 2);
        head = 4;
      } else if (length === 127) {
        if (buf.length - at < 10) break;
        const long = buf.readBigUInt64BE(at + 2);
        if (long > BigInt(MAX_MESSAGE)) return this.#fail(1009, 'message too big');
        length = Number(long);
        head = 10;
      }
      if (b1 & 0x80) return this.#fail(1002, 'masked frame from the server');
      if (b0 & 0x70) return this.#fail(1002, 'reserved bits set');
      if (buf.length - at < head + length) break;
      const payload = buf.subarray(at + head, at + head + length);
      at += head + length;
      this.#frame(b0 & 0x80, b0 & 0x0f, payload);
    }
    this.pending = at === buf.length ? EMPTY : Buffer.from(buf.subarray(at));
    return undefined;
  }

  #frame(fin, opcode, payload) {
    if (opcode === Op.PING) {
      if (!this.closeSent) this.socket.write(clientFrame(Op.PONG, payload));
      return;
    }
    if (opcode === Op.PONG) return;
    if (opcode === Op.CLOSE) {
      this.closeCode = payload.length >= 2 ? payload.readUInt16BE(0) : 1005;
      this.closeReason = payload.length > 2 ? payload.subarray(2).toString('utf8') : '';
      if (!this.closeSent) {
        this.socket.write(clientFrame(Op.CLOSE, payload.subarray(0, 2)));
        this.closeSent = true;
      }
      this.open = false;
      this.socket.end();
      return;
    }
    if (opcode !== Op.CONTINUATION && opcode !== Op.TEXT && opcode !== Op.BINARY) {
      this.#fail(1002, `unknown opcode ${opcode}`);
      return;
    }
    if ((opcode === Op.CONTINUATION) !== (this.fragments.length > 0)) {
      this.#fail(1002, 'unexpected continuation');
      return;
    }
    if (!fin || this.fragments.length) {
      if (opcode !== Op.CONTINUATION) this.fragmentOp = opcode;
      this.fragmentBytes += payload.length;
      if (this.fragmentBytes > MAX_MESSAGE) {
        this.#fail(1009, 'message too big');
        return;
      }
      this.fragments.push(Buffer.from(payload));
      if (!fin) return;
      payload = Buffer.concat(this.fragments);
      opcode = this.fragmentOp;
      this.fragments = [];
      this.fragmentBytes = 0;
    }
    const data = opcode === Op.TEXT ? payload.toString('utf8') : payload;
    this.onmessage?.({ data });
  }
}

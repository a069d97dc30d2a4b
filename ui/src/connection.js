/**
 * The UI's side of one engine endpoint, for the browser and for Node alike: connect, check the
 * handshake text, answer every binary frame through the RequestHandler, and reconnect with
 * exponential backoff whenever the engine goes away.
 */

export const EXPECTED_LIBRARY_VERSION = '0.1.0';

/**
 * Judge the first message of a connection.
 * @param {unknown} data
 * @returns {string|null} why it is not the engine's handshake, or null when it is
 */
export function handshakeProblem(data) {
  if (typeof data !== 'string') return 'expected the handshake text message, got a binary message';
  let msg;
  try {
    msg = JSON.parse(data);
  } catch {
    return `handshake is not JSON: ${data.slice(0, 80)}`;
  }
  if (msg?.type !== 'handshake') return `not a handshake message: ${data.slice(0, 80)}`;
  if (msg.python_library_version !== EXPECTED_LIBRARY_VERSION) {
    return `engine library version ${msg.python_library_version}, this UI speaks ${EXPECTED_LIBRARY_VERSION}`;
  }
  return null;
}

/**
 * Why a connection ended, in words for a person.
 * @param {boolean} opened the WebSocket opened
 * @param {boolean} ready the handshake arrived
 * @param {number} [code] WebSocket close code
 * @param {string} [reason] close reason sent by the engine
 * @returns {string}
 */
export function closeReason(opened, ready, code, reason) {
  if (!opened) return 'engine not reachable: nothing listens there, or it refused this page';
  if (!ready) return 'engine closed the connection before its handshake';
  if (code === 1006 || code === undefined) {
    return 'connection lost without a close message: the engine stopped, or another UI took its place';
  }
  return `engine closed the connection (code ${code}${reason ? `: ${reason}` : ''})`;
}

/**
 * @typedef {object} LinkOptions
 * @property {string} url ws://host:port of the engine
 * @property {(url: string) => WebSocket} createSocket browser WebSocket or the ws package's
 * @property {{handle(data: ArrayBuffer): Uint8Array|null}} handler
 * @property {(link: EngineLink) => void} [onChange] called after every state change and reply
 * @property {number} [initialDelayMs] first reconnect delay (doubles per failure)
 * @property {number} [maxDelayMs] reconnect delay cap
 * @property {boolean} [once] stop after the first session that completed its handshake ends
 * @property {string} [binaryType] of the socket: 'arraybuffer' (the default, a browser's) or
 *   'nodebuffer' (the ws package's own, which spares a copy of every message)
 */

export class EngineLink {
  /** @param {LinkOptions} options */
  constructor({
    url, createSocket, handler, onChange = () => {}, initialDelayMs = 100, maxDelayMs = 5000, once = false,
    binaryType = 'arraybuffer',
  }) {
    Object.assign(this, { url, createSocket, handler, onChange, initialDelayMs, maxDelayMs, once, binaryType });
    this.state = 'idle'; // connecting | handshake | ready | waiting | stopped
    this.error = '';
    /** Date.now() at which the next attempt starts while waiting, else 0. */
    this.retryAt = 0;
    /** Attempts that failed since the last session that completed its handshake. */
    this.failures = 0;
    this.sessions = 0;
    this.delay = initialDelayMs;
    this.socket = null;
    this.timer = null;
    /** Resolves when the link stops (stop() or the end of a --once session). */
    this.stopped = new Promise((resolve) => { this.resolveStopped = resolve; });
  }

  /** Open the first connection. */
  start() {
    if (this.state === 'idle') this.#connect();
    return this;
  }

  /** Close the connection and stop reconnecting. */
  stop() {
    if (this.state === 'stopped') return;
    clearTimeout(this.timer);
    this.#set('stopped');
    const socket = this.socket;
    this.socket = null;
    if (socket) socket.close(1000, 'ui stopped');
    this.resolveStopped();
  }

  #set(state, error = this.error) {
    this.state = state;
    this.error = error;
    this.onChange(this);
  }

  #connect() {
    this.retryAt = 0;
    this.#set('connecting');
    let socket;
    try {
      socket = this.createSocket(this.url);
    } catch (e) {
      this.#retry(`cannot connect: ${e.message}`);
      return;
    }
    this.socket = socket;
    socket.binaryType = this.binaryType;
    let ready = false;
    let problem = '';
    let opened = false;
    socket.onopen = () => {
      opened = true;
      this.#set('handshake');
    };
    socket.onmessage = (event) => {
      if (this.socket !== socket || problem) return;
      if (!ready) {
        problem = handshakeProblem(event.data) ?? '';
        if (problem) {
          socket.close(4000, 'bad handshake');
          return;
        }
        ready = true;
        this.sessions += 1;
        this.failures = 0;
        this.delay = this.initialDelayMs;
        this.#set('ready', '');
        return;
      }
      if (typeof event.data === 'string') return; // text after the handshake carries nothing for us
      const reply = this.handler.handle(event.data);
      if (reply) socket.send(reply);
      this.onChange(this);
    };
    socket.onerror = () => {}; // the close event that follows does the work
    socket.onclose = (event) => {
      if (this.socket !== socket) return;
      this.socket = null;
      if (ready && this.once) this.stop();
      else this.#retry(problem || closeReason(opened, ready, event?.code, event?.reason));
    };
  }

  #retry(why) {
    if (this.state === 'stopped') return;
    this.failures += 1;
    this.retryAt = Date.now() + this.delay;
    this.#set('waiting', why);
    this.timer = setTimeout(() => this.#connect(), this.delay);
    this.delay = Math.min(this.delay * 2, this.maxDelayMs);
  }
}

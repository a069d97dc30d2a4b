# A scripted stand-in for the browser UI, plus the byte helpers that the engine tests share.
#
# The stand-in connects to the engine's WebSocket server like the real UI does, checks the
# handshake text, and then does whatever the test script says: read a request frame, answer it
# (Response, ErrorResponse, Ping frame, raw bytes, text), stay silent, close or vanish. Every
# request it reads is kept as raw bytes for assertions. Every wait is bounded.
import asyncio
import contextlib
import os
import socket
import struct
from typing import NamedTuple

import websockets

HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}'
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"
OUT_OF_RANGE = "out of range integral type conversion attempted"
DEFAULT_ORIGIN = "http://localhost:5173"

REQUEST, RESPONSE, ERROR_RESPONSE, PING, PONG = 1, 2, 3, 4, 5
HEADER = struct.Struct("<BBHIHHI")

# Upper bound for one expected event (a frame, a closure, a future completing).
STEP = 5.0

FN = {
    "step_next": 2, "get_ticket_list": 10, "get_snapshot": 12, "get_ohlc": 15,
    "place_order": 20, "place_ticket": 21, "fetch_events": 30, "close_positions": 31,
    "end_session": 40, "init_candles": 100, "reset_episode": 101, "get_rl_config": 102,
    "get_sync_policy": 120, "step_and_sync": 130,
}

HERE = os.path.dirname(os.path.abspath(__file__))


def build_dir():
    return os.path.abspath(os.environ.get("PEN_BUILD_DIR", os.path.join(HERE, "..", "..", "build")))


# ---------------------------------------------------------------- frames and payloads

class Frame(NamedTuple):
    version: int
    kind: int
    flags: int
    seq: int
    fn_id: int
    reserved: int
    payload_len: int
    payload: bytes


def frame(kind, seq, fn_id, payload=b"", *, version=1, flags=0, reserved=0, payload_len=None):
    """Builds one RPC frame; payload_len may be forced to lie about the payload."""
    if payload_len is None:
        payload_len = len(payload)
    return HEADER.pack(version, kind, flags, seq, fn_id, reserved, payload_len) + bytes(payload)


def request_bytes(seq, fn_id, payload=b""):
    return frame(REQUEST, seq, fn_id, payload)


def parse_frame(data):
    assert isinstance(data, bytes), f"expected a binary message, got {type(data).__name__}"
    assert len(data) >= HEADER.size, f"frame of {len(data)} bytes"
    fields = HEADER.unpack_from(data)
    return Frame(*fields, data[HEADER.size:])


def response(req, payload=b""):
    return frame(RESPONSE, req.seq, req.fn_id, payload)


def error_body(err, sub, message, declared_len=None):
    if isinstance(message, str):
        message = message.encode()
    length = len(message) if declared_len is None else declared_len
    return struct.pack("<HHI", err, sub, length) + message


def error_response(req, err, sub, message):
    return frame(ERROR_RESPONSE, req.seq, req.fn_id, error_body(err, sub, message))


def vec_f64(values):
    values = list(values)
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat_f64(rows, cols, values=None):
    values = list(values) if values is not None else [float(i) for i in range(rows * cols)]
    return struct.pack(f"<II{len(values)}d", rows, cols, *values)


def close_step(ids, actions, ratios):
    n = len(ids)
    return struct.pack(f"<I{n}i{n}i{n}d", n, *ids, *actions, *ratios)


# ---------------------------------------------------------------- running coroutines

def run(coro, timeout=30.0):
    """Runs one test coroutine on a fresh event loop, bounded as a whole."""
    async def bounded():
        return await asyncio.wait_for(coro, timeout)
    return asyncio.run(bounded())


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def transport_error(seq, fn_id, message):
    seq_text = "None" if seq is None else f"Some({seq})"
    fn_text = "None" if fn_id is None else f"Some({fn_id})"
    return f"RpcTransportError(seq={seq_text}, fnId={fn_text}): {message}"


def rpc_error(seq, fn_id, err, sub, message):
    return f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub}): {message}"


async def outcome(fut, timeout=STEP):
    """Awaits an engine future; returns ('ok', value) or ('error', exception)."""
    try:
        return "ok", await asyncio.wait_for(fut, timeout)
    except BaseException as exc:  # PanicException derives from BaseException
        if isinstance(exc, (asyncio.CancelledError, KeyboardInterrupt, SystemExit)):
            raise
        return "error", exc


async def expect_error(fut, exc_type, text, timeout=STEP):
    kind, value = await outcome(fut, timeout)
    assert kind == "error", f"expected {exc_type.__name__}({text!r}), got result {value!r}"
    assert type(value) is failure_class(text, exc_type), f"{type(value).__name__}: {value}"
    assert str(value) == text
    return value


def failure_class(text, exc_type):
    """The class of a failure with this text: a call's failure kind (RpcError,
    RpcTransportError: subclasses of RuntimeError) is the class its text starts with."""
    import py_engine_native
    kind = text.split("(", 1)[0]
    if exc_type is RuntimeError and kind in ("RpcError", "RpcTransportError"):
        return getattr(py_engine_native, kind)
    return exc_type


# ---------------------------------------------------------------- the stand-in UI

class StandIn:
    """One scripted UI client on one WebSocket connection."""

    def __init__(self, ws):
        self.ws = ws
        self.requests = []  # raw bytes of every request frame read, in order

    @classmethod
    async def connect(cls, port, origin=DEFAULT_ORIGIN, timeout=STEP):
        ws = await asyncio.wait_for(websockets.connect(
            f"ws://127.0.0.1:{port}", origin=origin, open_timeout=timeout,
            ping_interval=None, close_timeout=1, max_size=None, compression=None), timeout)
        ui = cls(ws)
        greeting = await asyncio.wait_for(ws.recv(), timeout)
        assert greeting == HANDSHAKE_TEXT
        return ui

    async def recv_request(self, timeout=STEP):
        data = await asyncio.wait_for(self.ws.recv(), timeout)
        self.requests.append(data)
        req = parse_frame(data)
        assert (req.version, req.kind, req.flags, req.reserved) == (1, REQUEST, 0, 0), req
        assert req.payload_len == len(req.payload)
        return req

    async def send(self, message):
        await self.ws.send(message)

    async def answer(self, payload=b"", timeout=STEP):
        """Reads the next request and answers it with a Response carrying payload."""
        req = await self.recv_request(timeout)
        await self.send(response(req, payload))
        return req

    async def serve(self, reply_for):
        """Answers every request with reply_for(req) (bytes, or None for silence) until closed."""
        with contextlib.suppress(websockets.ConnectionClosed):
            while True:
                req = await self.recv_request(timeout=3600)
                reply = reply_for(req)
                if reply is not None:
                    await self.send(reply)

    async def expect_nothing(self, wait=0.3):
        """Asserts that no message arrives within wait seconds (and the link stays up)."""
        try:
            data = await asyncio.wait_for(self.ws.recv(), wait)
        except asyncio.TimeoutError:
            return
        raise AssertionError(f"unexpected message {data!r}")

    async def expect_dropped(self, timeout=STEP):
        """Waits until the engine drops the TCP connection; returns the ConnectionClosed."""
        try:
            while True:
                data = await asyncio.wait_for(self.ws.recv(), timeout)
                raise AssertionError(f"message {data!r} instead of the connection closing")
        except websockets.ConnectionClosed as closed:
            return closed

    def abort(self):
        """Vanishes without a close frame (TCP reset)."""
        sock = self.ws.transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.ws.transport.abort()

    async def close(self):
        # The engine reads only while a call waits, so a closing handshake would stall here.
        self.ws.transport.abort()
        with contextlib.suppress(Exception):
            await asyncio.wait_for(self.ws.wait_closed(), 1)


def new_engine(port=None, start_seq=None):
    from py_engine_native import NativeEngineAsync
    port = free_port() if port is None else port
    return NativeEngineAsync("127.0.0.1", port, start_seq), port


@contextlib.asynccontextmanager
async def connected(start_seq=None, origin=DEFAULT_ORIGIN):
    """A started engine with one stand-in UI installed in its connection slot."""
    engine, port = new_engine(start_seq=start_seq)
    await asyncio.wait_for(engine.start(), STEP)
    ui = await StandIn.connect(port, origin)
    await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
    try:
        yield engine, ui, port
    finally:
        await ui.close()


async def call(ui, fut, payload=b""):
    """Lets the stand-in answer the call's request with payload; returns (request, result)."""
    req = await ui.answer(payload)
    return req, await asyncio.wait_for(fut, STEP)


# ---------------------------------------------------------------- raw HTTP upgrade

UPGRADE_KEY = "dGhlIHNhbXBsZSBub25jZQ=="
UPGRADE_ACCEPT = b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


def upgrade_request(port, origin_lines=()):
    """A WebSocket opening request; origin_lines are raw header lines (bytes) added as given."""
    head = (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {UPGRADE_KEY}\r\n"
            "Sec-WebSocket-Version: 13\r\n").encode()
    return head + b"".join(line + b"\r\n" for line in origin_lines) + b"\r\n"


async def read_until_eof(reader, timeout=STEP, limit=1 << 16):
    data = b""
    while len(data) < limit:
        chunk = await asyncio.wait_for(reader.read(4096), timeout)
        if not chunk:
            return data
        data += chunk
    raise AssertionError(f"no end of stream after {len(data)} bytes")


async def raw_upgrade(port, origin_lines=(), timeout=STEP):
    """Sends an upgrade request over a plain stream. Returns ('forbidden', all bytes until EOF)
    or ('switched', first server message as bytes) for an admitted request."""
    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), timeout)
    try:
        writer.write(upgrade_request(port, origin_lines))
        await writer.drain()
        first = await asyncio.wait_for(reader.readuntil(b"\r\n"), timeout)
        if not first.startswith(b"HTTP/1.1 101"):
            return "forbidden", first + await read_until_eof(reader, timeout)
        head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
        assert UPGRADE_ACCEPT in head
        opcode_len = await asyncio.wait_for(reader.readexactly(2), timeout)
        assert opcode_len[1] < 126, "handshake text is short and sent unmasked"
        body = await asyncio.wait_for(reader.readexactly(opcode_len[1]), timeout)
        return "switched", bytes([opcode_len[0]]) + body
    finally:
        writer.transport.abort()


# ---------------------------------------------------------------- engine in a child process

def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_dir(), HERE] + (
        [env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


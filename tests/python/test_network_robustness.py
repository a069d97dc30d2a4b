# Hostile traffic against an engine in a child process: malformed opening requests, protocol
# violations on an admitted connection, a connection flood and a slow client. After each attack
# the process must still be alive and serve a well-behaved UI (a real call completes), and at
# the end it must exit normally.
import asyncio
import contextlib
import queue
import random
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

from standin import (HANDSHAKE_TEXT, STEP, StandIn, build_dir, child_env, free_port, run,
                     transport_error, upgrade_request)

CHILD = textwrap.dedent("""
    import asyncio, sys
    sys.path.insert(0, sys.argv[1])
    import py_engine_native as pen

    async def attempt(engine, wait):
        try:
            if wait:
                await engine.wait_connected(timeout_secs=5)
            await engine.step_next(timeout_secs=5)
            return "ok"
        except RuntimeError as exc:
            return f"error {exc}"

    async def main():
        engine = pen.NativeEngineAsync("127.0.0.1", int(sys.argv[2]))
        await engine.start()
        print("ready", flush=True)
        loop = asyncio.get_running_loop()
        while (command := (await loop.run_in_executor(None, sys.stdin.readline)).strip()) != "quit":
            if command == "call":      # one call on the next connection installed
                print(await attempt(engine, True), flush=True)
            elif command == "drop":    # calls until the slot is empty
                for _ in range(5):
                    if "no websocket connected" in await attempt(engine, False):
                        break
                print("dropped", flush=True)

    asyncio.run(main())
""")

ORIGIN = [b"Origin: http://localhost:5173"]
STEP_NEXT = 2
RECV_FAILED = transport_error(1, STEP_NEXT, "websocket recv failed: ")


class Engine:
    """The child process, driven line by line over stdin and stdout."""

    def __init__(self):
        self.port = free_port()
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, build_dir(), str(self.port)], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self.stderr, env=child_env(), text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()
        assert self.lines.get(timeout=15) == "ready"

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    async def reply(self, timeout=3 * STEP):
        return await asyncio.to_thread(self.lines.get, True, timeout)

    def alive(self):
        return self.proc.poll() is None

    def log(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")


@pytest.fixture(scope="module")
def engine():
    engine = Engine()
    try:
        yield engine
        engine.command("quit")
        assert engine.proc.wait(timeout=15) == 0, engine.log()[-2000:]
    finally:
        if engine.alive():
            engine.proc.kill()
            engine.proc.wait()


async def serves_a_real_call(engine):
    """Empties the slot, admits a well-behaved UI and completes step_next through it."""
    assert engine.alive(), engine.log()[-2000:]
    engine.command("drop")
    assert await engine.reply() == "dropped"
    ui = await StandIn.connect(engine.port)
    try:
        engine.command("call")
        await ui.answer()
        assert await engine.reply() == "ok"
    finally:
        await ui.close()


# ---------------------------------------------------------------- raw bytes on the wire

def ws_frame(opcode, payload=b"", *, fin=True, masked=True, announce=None):
    """A client frame; `announce` puts another length in the header than the payload has."""
    length = len(payload) if announce is None else announce
    head = bytes([(0x80 if fin else 0) | opcode])
    mask_bit = 0x80 if masked else 0
    if length < 126:
        head += bytes([mask_bit | length])
    elif length <= 0xFFFF:
        head += bytes([mask_bit | 126]) + struct.pack(">H", length)
    else:
        head += bytes([mask_bit | 127]) + struct.pack(">Q", length)
    if not masked:
        return head + payload
    key = bytes([0x37, 0xFA, 0x21, 0x3D])
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def rpc_response(seq, fn_id):
    return struct.pack("<BBHIHHI", 1, 2, 0, seq, fn_id, 0, 0)


async def closed_by_server(reader, timeout=STEP):
    """Reads (bounded) until the server ends the stream; returns what it sent before."""
    data = b""
    with contextlib.suppress(ConnectionResetError):
        while chunk := await asyncio.wait_for(reader.read(65536), timeout):
            data += chunk
            assert len(data) < 1 << 16, "the server keeps talking"
    return data


async def send_and_expect_close(port, data):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(data)  # buffered by the transport: the server may close before reading all
        return await closed_by_server(reader)
    finally:
        writer.transport.abort()


async def admitted_raw(port):
    """A plain stream past the opening handshake and the greeting."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(upgrade_request(port, ORIGIN))
    head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), STEP)
    assert head.startswith(b"HTTP/1.1 101"), head
    greeting = HANDSHAKE_TEXT.encode()
    assert await asyncio.wait_for(reader.readexactly(2 + len(greeting)), STEP) == (
        bytes([0x81, len(greeting)]) + greeting)
    return reader, writer


# ---------------------------------------------------------------- before the handshake ends

BIG = 1 << 20
PRE_HANDSHAKE = {
    "random_bytes": random.Random(6455).randbytes(4096),
    "huge_header": b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Filler: " + b"a" * (256 << 10) + b"\r\n\r\n",
    "request_line_of_1_MB": b"GET /" + b"a" * BIG + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    "many_headers": b"GET / HTTP/1.1\r\n" + b"X-A: b\r\n" * 20000 + b"\r\n",
    "binary_frame_instead_of_request": ws_frame(0x2, b"\x01\x01" + b"\x00" * 14),
}


@pytest.mark.parametrize("attack", PRE_HANDSHAKE, ids=list(PRE_HANDSHAKE))
def test_malformed_request_is_dropped_without_an_upgrade(engine, attack):
    async def script():
        answer = await send_and_expect_close(engine.port, PRE_HANDSHAKE[attack])
        assert answer == b"", answer[:200]  # dropped without a word
        await serves_a_real_call(engine)
    run(script())


# A valid key is the base64 form of 16 bytes.
BAD_KEYS = {"5_bytes": b"c2hvcnQ=", "17_bytes": b"dGhlIHNhbXBsZSBub25jZXg=",
            "not_base64": b"!!!!not*base64!!!!!!!==", "empty": b"", "long": b"QUFB" * 64}


@pytest.mark.parametrize("key", BAD_KEYS.values(), ids=list(BAD_KEYS))
def test_bad_websocket_key_is_refused(engine, key):
    async def script():
        request = upgrade_request(engine.port, ORIGIN).replace(
            b"dGhlIHNhbXBsZSBub25jZQ==", key)
        assert await send_and_expect_close(engine.port, request) == b"", "not refused"
        await serves_a_real_call(engine)
    run(script())


def test_flood_of_connections_opened_and_dropped(engine):
    async def script():
        streams = await asyncio.gather(*(asyncio.open_connection("127.0.0.1", engine.port)
                                         for _ in range(200)))
        for i, (_, writer) in enumerate(streams):
            if i % 3 == 1:
                writer.write(upgrade_request(engine.port, ORIGIN)[:40])  # half a request
            if i % 3 == 2:  # vanish with a reset instead of a FIN
                writer.transport.get_extra_info("socket").setsockopt(
                    socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        await asyncio.sleep(0.1)  # let the half requests arrive
        for _, writer in streams:
            writer.transport.abort()
        await serves_a_real_call(engine)
    run(script())


def test_slow_client_is_dropped_while_others_are_served(engine):
    """A request trickling in byte by byte is cut off by the handshake time limit (5 s)
    before it is complete, and a UI that connects meanwhile is admitted and served."""
    async def slow_client():
        reader, writer = await asyncio.open_connection("127.0.0.1", engine.port)
        request = upgrade_request(engine.port, ORIGIN + [b"X-Filler: " + b"z" * 400])
        eof = asyncio.ensure_future(closed_by_server(reader, timeout=6 + STEP))
        sent = 0
        try:
            for i in range(len(request)):  # ~600 bytes, 11 ms or more each: over 6 s
                if eof.done():
                    break
                writer.write(request[i:i + 1])
                sent += 1
                await asyncio.sleep(0.011)
            assert await eof == b""
        finally:
            writer.transport.abort()
        return sent, len(request)

    async def script():
        slow = asyncio.ensure_future(slow_client())
        await asyncio.sleep(1)
        await serves_a_real_call(engine)
        assert not slow.done(), "the slow client is still trickling"
        sent, total = await slow
        assert sent < total, "the server waited for the whole slow request"
    run(script(), timeout=20)


# ---------------------------------------------------------------- after the handshake

# What an admitted client sends instead of a proper reply while a call waits for one, and the
# failure that the call reports at once (the connection is then dropped).
TOO_BIG = "WebSocket frame larger than 16 MiB"
BAD_CLOSE_CODE = "The WebSocket close frame reason code was invalid"
PROTOCOL_VIOLATIONS = {
    "unmasked_frame": (ws_frame(0x2, rpc_response(1, STEP_NEXT), masked=False),
                       "The WebSocket frame was unmasked"),
    "frame_announcing_2_63_bytes": (ws_frame(0x2, announce=1 << 63), TOO_BIG),
    "frame_announcing_2_64_minus_1_bytes": (ws_frame(0x2, announce=(1 << 64) - 1), TOO_BIG),
    "frame_announcing_16_MiB_plus_1": (ws_frame(0x2, announce=(16 << 20) + 1), TOO_BIG),
    "fragmented_ping": (ws_frame(0x9, b"ab", fin=False) + ws_frame(0x0, b"cd"),
                        "The WebSocket control frame was fragmented"),
    "oversized_ping": (ws_frame(0x9, b"p" * 126), "The WebSocket control frame size was invalid"),
    "invalid_utf8_text": (ws_frame(0x1, b"ok \xc3\x28 \xed\xa0\x80"),
                          "The WebSocket frame payload was not valid utf8"),
    "close_with_bad_code": (ws_frame(0x8, struct.pack(">H", 999) + b"bye"), BAD_CLOSE_CODE),
    "close_with_reserved_code": (ws_frame(0x8, struct.pack(">H", 1005)), BAD_CLOSE_CODE),
    "reserved_opcode": (ws_frame(0x3, b"?"), "The WebSocket frame contained an illegal opcode"),
    "continuation_without_start": (ws_frame(0x0, rpc_response(1, STEP_NEXT)),
                                   "The WebSocket continuation frame was unexpected"),
    "reserved_bits_set": (bytes([0xF2]) + ws_frame(0x2, rpc_response(1, STEP_NEXT))[1:],
                          "The WebSocket frame contained illegal reserved bits"),
}


@pytest.mark.parametrize("attack", PROTOCOL_VIOLATIONS, ids=list(PROTOCOL_VIOLATIONS))
def test_protocol_violation_ends_only_that_connection(engine, attack):
    async def script():
        engine.command("drop")
        assert await engine.reply() == "dropped"
        reader, writer = await admitted_raw(engine.port)
        try:
            engine.command("call")
            head = await asyncio.wait_for(reader.readexactly(2), STEP)
            assert head == bytes([0x82, 16])  # step_next: an unmasked 16-byte request frame
            request = await asyncio.wait_for(reader.readexactly(16), STEP)
            assert request[:2] == b"\x01\x01"
            data, reason = PROTOCOL_VIOLATIONS[attack]
            writer.write(data)  # and the client never closes its side
            assert await engine.reply() == "error " + RECV_FAILED + reason
            await closed_by_server(reader)
        finally:
            writer.transport.abort()
        await serves_a_real_call(engine)
    run(script())

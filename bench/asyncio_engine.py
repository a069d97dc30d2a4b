"""A pure-asyncio engine with the module's call API, for comparison in bench/latency.py.

Usage: from asyncio_engine import AsyncioEngine; engine = AsyncioEngine("127.0.0.1", port);
await engine.start(); await engine.wait_connected(); await engine.get_ohlc()

The same RPC frames over the same WebSocket wire as the native engine, written as an efficient
Python engine would be: asyncio streams with a read limit above the largest reply (no flow
control pauses mid-reply), readexactly for each part of a frame, the masked payload unmasked by
one NumPy XOR over 32-bit words, and the result an array over the unmasked bytes
(np.frombuffer, no further copy). Only what the benchmark needs: one UI, Binary replies in one
frame, no pings, no time-outs.
"""
import asyncio
import base64
import hashlib
import socket
import struct

import numpy as np

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
RPC_HEAD = struct.Struct("<BBHIHHI")  # version, kind, flags, seq, fnId, reserved, payloadLen
REQUEST, RESPONSE = 1, 2
STEP_NEXT, GET_OHLC = 2, 15


def unmask(data, key):
    """The payload XOR the repeating 4-byte key, as a new writeable uint8 array."""
    out = np.empty(len(data) + 3 & ~3, np.uint8)
    words = len(data) // 4
    np.bitwise_xor(np.frombuffer(data, "<u4", words), np.frombuffer(key, "<u4"),
                   out=out[:words * 4].view("<u4"))
    for i in range(words * 4, len(data)):
        out[i] = data[i] ^ key[i & 3]
    return out[:len(data)]


class AsyncioEngine:
    def __init__(self, host, port):
        self._host, self._port = host, port
        self._connected = asyncio.Event()
        self._lock = asyncio.Lock()
        self._seq = 0
        self._server = self._reader = self._writer = None

    async def start(self):
        self._server = await asyncio.start_server(self._accept, self._host, self._port,
                                                  limit=1 << 26)

    async def wait_connected(self, timeout_secs=None):
        await asyncio.wait_for(self._connected.wait(), timeout_secs)

    async def close(self):
        if self._writer is not None:
            self._writer.close()
        self._server.close()
        await self._server.wait_closed()

    async def _accept(self, reader, writer):
        request = await reader.readuntil(b"\r\n\r\n")
        key = next(line.split(b":", 1)[1].strip() for line in request.split(b"\r\n")
                   if line.lower().startswith(b"sec-websocket-key:"))
        accept = base64.b64encode(hashlib.sha1(key + WS_GUID).digest())
        writer.write(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                     b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n\r\n")
        writer.transport.get_extra_info("socket").setsockopt(
            socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._reader, self._writer = reader, writer
        self._connected.set()

    async def _frame(self):
        """The next client frame's payload, unmasked."""
        b0, b1 = await self._reader.readexactly(2)
        n = b1 & 0x7F
        if n == 126:
            n, = struct.unpack(">H", await self._reader.readexactly(2))
        elif n == 127:
            n, = struct.unpack(">Q", await self._reader.readexactly(8))
        key = await self._reader.readexactly(4)
        return unmask(await self._reader.readexactly(n), key)

    async def _call(self, fn_id, payload=b""):
        async with self._lock:
            self._seq += 1
            message = RPC_HEAD.pack(1, REQUEST, 0, self._seq, fn_id, 0, len(payload)) + payload
            assert len(message) < 126  # the requests measured here are empty
            self._writer.write(bytes((0x82, len(message))) + message)
            reply = await self._frame()
            _, kind, _, seq, fn, _, length = RPC_HEAD.unpack_from(reply)
            if (kind, seq, fn, length) != (RESPONSE, self._seq, fn_id, len(reply) - 16):
                raise RuntimeError("unexpected reply")
            return reply[16:]

    async def step_next(self, timeout_secs=None):
        await self._call(STEP_NEXT)

    async def get_ohlc(self, timeout_secs=None):
        payload = await self._call(GET_OHLC)
        rows, cols = struct.unpack_from("<II", payload)
        return np.frombuffer(payload, np.float64, rows * cols, 8).reshape(rows, cols)

# EngineBatch against scripted UIs: the same results, numbering and failures as the single
# calls, a busy engine's call handed over, and recv's min_ready. The batch blocks its thread
# while it waits, so it waits in a helper thread while the stand-ins answer on the loop.
import asyncio
import contextlib
import re

import numpy as np
import pytest

from standin import (FN, STEP, StandIn, connected, error_response, frame, mat_f64, new_engine,
                     parse_frame, response, rpc_error, run, transport_error, vec_f64)

import py_engine_native as pen


def payload_for(req):
    """A reply that tells the engines and calls apart: its values carry seq and port."""
    fn = req.fn_id
    if fn == FN["step_and_sync"]:
        return vec_f64([req.seq, 7.0]) + mat_f64(1, 2, [req.seq, 1.0])
    if fn == FN["get_snapshot"]:
        return vec_f64([req.seq, 3.0])
    return mat_f64(1, 1, [req.seq]) if fn == FN["get_ticket_list"] else b""


@contextlib.asynccontextmanager
async def group(n, answer=True):
    """n connected engines, their stand-ins answering every request with payload_for."""
    async with contextlib.AsyncExitStack() as stack:
        pairs = [await stack.enter_async_context(connected()) for _ in range(n)]
        tasks = [asyncio.create_task(ui.serve(lambda r: response(r, payload_for(r))))
                 for _, ui, _ in pairs] if answer else []
        yield [e for e, _, _ in pairs], [ui for _, ui, _ in pairs]
        for t in tasks:
            t.cancel()


def same(a, b):
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b, strict=True))
    return np.array_equal(a, b) if isinstance(a, np.ndarray) else a == b


@pytest.mark.parametrize("fn", ["step_and_sync", "get_snapshot", "get_ticket_list", "step_next"])
def test_results_and_numbering_equal_the_single_calls(fn):
    async def script():
        async with group(3) as (engines, _):
            single = [await getattr(e, fn)() for e in engines]  # seq 1 on each engine
            batch = pen.EngineBatch(engines)
            assert len(batch) == 3
            batch.send(np.array([2, 0, 1]), fn)
            got = dict(await asyncio.to_thread(batch.recv))
            again = [await getattr(e, fn)() for e in engines]  # seq 3: the batch spent 2
            for i in range(3):
                assert same(got[i], payload_check(single[i], 2)), (i, got[i])
                assert same(again[i], payload_check(single[i], 3))
            assert batch.recv() == []
    run(script())


def payload_check(first, seq):
    """The result the single call with `seq` gives, from the one seq 1 gave."""
    if first is None:
        return None
    if isinstance(first, tuple):
        return tuple(payload_check(x, seq) for x in first)
    out = first.copy()
    out.flat[0] = seq
    return out


async def lose_after_request(ui):
    await ui.recv_request()
    ui.abort()


async def answer_with(ui, make):
    req = await ui.recv_request()
    await ui.send(make(req))


# Each slot's failure is the one the same call alone would give; the healthy slot completes.
FAILURES = [  # (what the UI does with the request, exception type, text as a pattern)
    (lambda ui: ui.recv_request(), pen.RpcTransportError,
     re.escape(transport_error(1, 130, "timeout waiting response"))),
    (lambda ui: answer_with(ui, lambda r: error_response(r, 5, 1, "no")), pen.RpcError,
     re.escape(rpc_error(1, 130, 5, 1, "no"))),
    (lose_after_request, pen.RpcTransportError,
     re.escape(transport_error(1, 130, "")) + r"websocket (closed|recv failed: .+)"),
    (lambda ui: answer_with(ui, lambda r: response(r, b"\x01")), ValueError, r".+"),
]


def test_failures_stay_in_their_own_slot():
    async def script():
        unconnected, _ = new_engine()
        async with group(len(FAILURES) + 1, answer=False) as (engines, uis):
            acts = [act for act, _, _ in FAILURES] + [
                lambda ui: answer_with(ui, lambda r: response(r, payload_for(r)))]
            scripts = [asyncio.create_task(act(ui)) for act, ui in zip(acts, uis)]
            batch = pen.EngineBatch([unconnected] + engines)
            snaps, positions, errors = await asyncio.to_thread(batch.step_and_sync, 0.5)
            await asyncio.gather(*scripts)
            assert str(errors[0]) == transport_error(None, 130, "no websocket connected")
            for (_, kind, text), error in zip(FAILURES, errors[1:]):
                assert type(error) is kind and re.fullmatch(text, str(error)), error
            assert errors[-1] is None and np.array_equal(snaps[-1], [1, 7])
            assert np.isnan(snaps[:-1]).all() and positions[:-1] == [None] * (len(FAILURES) + 1)
            assert np.array_equal(positions[-1], [[1, 1]])
            await uis[0].expect_dropped()  # the timed-out connection is closed
    run(script())


def test_busy_engine_is_served_after_its_call_in_progress():
    async def script():
        async with connected() as (engine, ui, _):
            ahead = engine.get_snapshot()
            batch = pen.EngineBatch([engine])
            batch.send(fn="get_ticket_list")
            first = await ui.recv_request()
            await ui.send(response(first, vec_f64([9.0])))
            second = await ui.recv_request()
            await ui.send(response(second, mat_f64(1, 1, [4.0])))
            assert (first.seq, second.seq) == (1, 2)
            np.testing.assert_array_equal(await ahead, [9.0])
            [(i, tickets)] = await asyncio.to_thread(batch.recv)
            assert i == 0 and np.array_equal(tickets, [[4.0]])
    run(script())


def test_recv_takes_at_least_min_ready_and_leaves_the_rest_outstanding():
    async def script():
        async with group(3, answer=False) as (engines, uis):
            batch = pen.EngineBatch(engines)
            batch.send([0, 2], "get_snapshot")
            reqs = [await uis[i].recv_request() for i in (0, 2)]
            assert await asyncio.to_thread(batch.recv, 1, 0.05) == []  # the wait ends first
            waiting = asyncio.create_task(asyncio.to_thread(batch.recv, 1, 0.3))
            await asyncio.sleep(0.1)
            with pytest.raises(RuntimeError, match="in use by another thread"):
                batch.recv(0)
            assert await waiting == []
            await uis[2].send(response(reqs[1], vec_f64([2.0])))
            [(i, snap)] = await asyncio.to_thread(batch.recv, 1)
            assert i == 2 and np.array_equal(snap, [2.0])
            with pytest.raises(ValueError, match="engine 0 already has a request outstanding"):
                batch.send([1, 0])
            await uis[1].expect_nothing(0.1)  # a refused send sends nothing
            await uis[0].send(response(reqs[0], vec_f64([0.5])))
            [(i, snap)] = await asyncio.to_thread(batch.recv, 1, STEP)
            assert i == 0 and np.array_equal(snap, [0.5])
            assert batch.recv() == []
    run(script())


@pytest.mark.parametrize("call, error, text", [
    (lambda b: b.send([3]), ValueError, "id 3 is out of range for a batch of 2 engines"),
    (lambda b: b.send([-1]), ValueError, "id -1 is out of range"),
    (lambda b: b.send([0, 0]), ValueError, "engine 0 already has a request outstanding"),
    (lambda b: b.send([0.5]), TypeError, "argument 'ids'"),
    (lambda b: b.send(fn="place_order"), ValueError, "unknown fn 'place_order'"),
    (lambda b: b.recv(-1), ValueError, "min_ready must be >= 0"),
    (lambda b: pen.EngineBatch([b, 1]), TypeError,
     "argument 'engines': 'EngineBatch' object cannot be converted to 'NativeEngineAsync'"),
])
def test_bad_arguments_are_refused_at_once(call, error, text):
    engines = [new_engine()[0] for _ in range(2)]
    with pytest.raises(error, match=text):
        call(pen.EngineBatch(engines))

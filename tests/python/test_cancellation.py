# Cancellation against a completion already on its way, step by step rather than by timing:
# the worker delivering to a future cancelled on a loop that has closed since, and the loop
# running a completion that was scheduled before the future was cancelled.
import asyncio
import concurrent.futures
import threading
import time
import weakref

import pytest

from standin import STEP, StandIn, error_response, new_engine, response, run, vec_f64

SNAP = vec_f64([1.5, -2.0])
CLOSED = "RuntimeError: Event loop is closed"


class SchedulingLoop(asyncio.SelectorEventLoop):
    """An event loop that tells when another thread has scheduled a callback on it."""

    def __init__(self):
        super().__init__()
        self.scheduled = threading.Event()

    def call_soon_threadsafe(self, *args, **kwargs):
        handle = super().call_soon_threadsafe(*args, **kwargs)
        self.scheduled.set()
        return handle


REPLIES = {"reply": lambda req: response(req, SNAP),
           "error reply": lambda req: error_response(req, 5, 1, "bad price")}


@pytest.mark.parametrize("reply", REPLIES.values(), ids=REPLIES.keys())
def test_completion_scheduled_before_the_cancel_leaves_the_future_cancelled(reply):
    loop = SchedulingLoop()
    loop_errors = []
    loop.set_exception_handler(lambda _loop, ctx: loop_errors.append(ctx))

    async def script():
        engine, port = new_engine()
        await asyncio.wait_for(engine.start(), STEP)
        ui = await StandIn.connect(port)
        try:
            await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
            fut = engine.get_snapshot(timeout_secs=STEP)
            req = await ui.recv_request()  # the call waits on the worker by now
            loop.scheduled.clear()
            await ui.send(reply(req))
            # The loop's thread stays here until the worker has scheduled the completion.
            assert loop.scheduled.wait(STEP), "no completion was scheduled"
            assert not fut.done()
            fut.cancel()
            for _ in range(3):
                await asyncio.sleep(0)  # the completion runs, finding the future cancelled
            assert fut.cancelled()
            fut = engine.get_snapshot(timeout_secs=STEP)  # the connection is still in use
            await ui.send(response(await ui.recv_request(), SNAP))
            assert list(await asyncio.wait_for(fut, STEP)) == [1.5, -2.0]
        finally:
            await ui.close()

    try:
        loop.run_until_complete(asyncio.wait_for(script(), 30))
    finally:
        loop.close()
    assert loop_errors == []


def ui_answering_on_cue(port, got_request, answer, finished):
    """A stand-in UI on a thread of its own: reads one request, answers it when told to and
    stays connected until the test has finished with the engine."""
    async def script():
        ui = await StandIn.connect(port)
        try:
            req = await ui.recv_request()
            got_request.set()
            assert await asyncio.to_thread(answer.wait, STEP)
            await ui.send(response(req, SNAP))
            await asyncio.to_thread(finished.wait, STEP)
        finally:
            await ui.close()
    run(script())


@pytest.mark.parametrize("cancelled", [True, False])
def test_call_cancelled_before_its_loop_closed_ends_quietly(cancelled, capfd):
    got_request, answer, finished = threading.Event(), threading.Event(), threading.Event()
    engine, port = new_engine()
    loop = asyncio.new_event_loop()
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        try:
            async def make_call():
                await asyncio.wait_for(engine.start(), STEP)
                ui = pool.submit(ui_answering_on_cue, port, got_request, answer, finished)
                await asyncio.wait_for(engine.wait_connected(timeout_secs=STEP), STEP)
                return ui, engine.get_snapshot(timeout_secs=STEP)
            ui, fut = loop.run_until_complete(make_call())
            assert got_request.wait(STEP)
            if cancelled:
                fut.cancel()  # its done-callbacks never run: the loop closes first
        finally:
            loop.close()
        watch = weakref.ref(fut)
        del fut
        answer.set()
        # The worker has dealt with the reply once it reports the closed loop or lets go of
        # the future (the report keeps it alive in sys.last_traceback).
        err, deadline = "", time.monotonic() + STEP
        while watch() is not None and CLOSED not in err and time.monotonic() < deadline:
            time.sleep(0.01)
            err += capfd.readouterr().err
        finished.set()
        ui.result(STEP)
    err += capfd.readouterr().err
    if cancelled:
        assert "Traceback" not in err and "Error" not in err, err
        assert watch() is None, "the worker still holds the future"
    else:  # an uncancelled call reports, as documented, that its loop is gone
        assert CLOSED in err, err

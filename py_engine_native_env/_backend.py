"""What the synchronous and the vector environment share: an event loop of their own, N engines
on ports the system chooses, and the UI that connects to them (one headless Node process for
all, the page in Chromium for environment 0 when rendering, or a UI of the caller's)."""

from __future__ import annotations

import asyncio
import concurrent.futures
import socket
import subprocess
import sys
import time
from typing import Any, Awaitable, Callable, Coroutine, Iterable, TypeVar

from py_engine_native import NativeEngineAsync

from .options import EnvOptions
from .ui import BrowserUI, UIProcess, start_headless

T = TypeVar("T")
RESTARTS, RESTART_PERIOD = 5, 60.0  # restarts of a dead UI process allowed within the period
RENDER_MODES = ("human", "rgb_array")
UI_CHOICES = ("headless", "none")


def check_render_mode(render_mode: str | None, allowed: tuple[str, ...] = RENDER_MODES) -> None:
    if render_mode is not None and render_mode not in allowed:
        raise ValueError(f"render_mode must be None or one of {', '.join(map(repr, allowed))}; "
                         f"got {render_mode!r}")


def _free_port(host: str) -> int:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


def _as_is(engine: Any) -> Any:
    return engine


async def start_engine(host: str, port: int,
                       wrap: Callable[[Any], Any] = _as_is) -> tuple[Any, int]:
    """A started engine and the port it listens on (port 0: one the system chooses)."""
    if port or hasattr(NativeEngineAsync, "bound_port"):
        engine = wrap(NativeEngineAsync(host, port))
        await engine.start()
        return engine, port or engine.bound_port
    for attempt in range(5):  # an engine that cannot tell its port: probe one, race and retry
        port = _free_port(host)
        engine = wrap(NativeEngineAsync(host, port))
        try:
            await engine.start()
            return engine, port
        except RuntimeError:
            if attempt == 4:
                raise
    raise AssertionError("unreachable")


async def close_engine(engine: Any) -> None:
    if hasattr(engine, "close"):
        await engine.close()


class Backend:
    def __init__(self, count: int, options: EnvOptions, render_mode: str | None = None) -> None:
        if options.ui not in UI_CHOICES:
            raise ValueError(f"ui must be one of {', '.join(map(repr, UI_CHOICES))}; "
                             f"got {options.ui!r}")
        self.loop = asyncio.new_event_loop()
        self.engines: list[Any] = []
        self.headless: UIProcess | None = None
        self.browser: BrowserUI | None = None
        self.closed = False
        self._restarts: list[float] = []  # when the UI process was started again
        self._helper: concurrent.futures.ThreadPoolExecutor | None = None
        host, port = options.host, options.port
        try:
            started = self.gather(
                start_engine(host, port + i if port else 0, options.engine_wrapper or _as_is)
                for i in range(count))
            self.engines = [engine for engine, _ in started]
            self.ports = [p for _, p in started]
            where = f"[{host}]" if ":" in host else host
            self.urls = [f"ws://{where}:{p}" for p in self.ports]
            settings = dict(options.settings or {})
            if options.ui == "headless":
                shown = 1 if render_mode in RENDER_MODES else 0
                if render_mode in RENDER_MODES:
                    self.browser = BrowserUI(self.urls[0], settings, node=options.node,
                                             folder=options.ui_dir,
                                             headed=render_mode == "human",
                                             screenshot=options.page_screenshot)
                if count > shown:
                    rest = dict(settings)
                    if shown:  # the headless simulations keep seeds apart from the page's
                        rest["seed"] = int(settings.get("seed", 1)) + shown  # type: ignore[call-overload]
                    self.headless = start_headless(self.urls[shown:], rest, node=options.node,
                                                   folder=options.ui_dir)
            else:
                print(f"waiting for a UI to connect to {' '.join(self.urls)}", file=sys.stderr)
            self.run(self._wait_connected(options.connect_timeout))
        except BaseException:
            self.close()
            raise

    def run(self, awaitable: Awaitable[T]) -> T:
        """Runs `awaitable` to its end on the loop."""
        run: Callable[[Awaitable[T]], T] = self.loop.run_until_complete
        return self._on_loop_thread(run, awaitable)

    def drive(self, coro: Coroutine[Any, Any, T]) -> T:
        """Runs an environment's coroutine to its end, running the loop only while it waits
        for a future that is not done yet: the engine's replies that are already in when a
        call returns cost no loop run at all."""
        return self._on_loop_thread(drive, self.loop, coro)

    def _on_loop_thread(self, fn: Callable[..., T], *args: Any) -> T:
        if asyncio._get_running_loop() is None:
            return fn(*args)
        # Called while another loop runs in this thread (a notebook's): a loop cannot run
        # inside another, so ours runs on a helper thread meanwhile.
        if self._helper is None:
            self._helper = concurrent.futures.ThreadPoolExecutor(1, "py_engine_native_env")
        return self._helper.submit(fn, *args).result()

    def gather(self, awaitables: Iterable[Awaitable[T]]) -> list[T]:
        """Runs all at once on the loop; the results in order."""
        async def every() -> list[T]:
            return await asyncio.gather(*awaitables)
        return self.run(every())

    def revive(self) -> None:
        """Starts the headless UI process again, at once, when it has died: at most RESTARTS
        times within RESTART_PERIOD seconds, then RuntimeError. Nothing when it runs."""
        old, now = self.headless, time.monotonic()
        if old is None or self.closed:
            return
        if self._restarts and now - self._restarts[-1] < 0.05:
            return  # just started for the loss the other environments it serves report too
        # A process that just dropped its connections may not be reaped yet: a moment's grace.
        if not _ended(old):
            return
        self._restarts = [t for t in self._restarts if now - t < RESTART_PERIOD]
        if len(self._restarts) >= RESTARTS:
            raise RuntimeError(f"the reference UI process died {RESTARTS + 1} times within "
                               f"{RESTART_PERIOD:g} s; not starting it again "
                               f"(last: {old.failure()})")
        self._restarts.append(now)
        old.stop()
        self.headless = UIProcess(old.args)

    def ui_failure(self) -> str | None:
        for proc in (self.headless, self.browser):
            failure = proc.failure() if proc else None
            if failure:
                return failure
        return None

    @property
    def ui_pids(self) -> list[int]:
        pids = [self.headless.pid] if self.headless else []
        if self.browser:
            pids += [p.pid for p in (self.browser.server, self.browser.browser) if p]
        return pids

    async def _wait_connected(self, timeout: float | None) -> None:
        deadline = time.monotonic() + (timeout if timeout is not None else float("inf"))
        for engine, url in zip(self.engines, self.urls):
            while True:
                try:
                    await engine.wait_connected(0.1)
                    break
                except RuntimeError:
                    failure = self.ui_failure()
                    if failure:
                        raise RuntimeError(f"the reference UI failed: {failure}") from None
                    if time.monotonic() > deadline:
                        raise RuntimeError(f"no UI connected to {url} within {timeout:g} s") from None

    def close(self) -> None:
        """Stops the UI, closes the engines (their ports are free again) and the loop."""
        if self.closed:
            return
        self.closed = True
        try:
            for proc in (self.browser, self.headless):
                if proc is not None:
                    proc.stop()
            if self.engines and not self.loop.is_closed():
                self.gather(close_engine(e) for e in self.engines)
        finally:
            self.browser = self.headless = None
            self.engines = []
            self.loop.close()
            if self._helper is not None:
                self._helper.shutdown()


def _ended(proc: UIProcess, grace: float = 0.1) -> bool:
    """Whether `proc` has ended; its connections close just before it is reaped, so a process
    whose connection just dropped gets `grace` seconds to be seen ended."""
    try:
        proc.proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        return False
    return True


def drive(loop: asyncio.AbstractEventLoop, coro: Coroutine[Any, Any, T]) -> T:
    """Runs `coro` in this thread as if `loop` ran it (engine calls find `loop` running); the
    loop itself runs only until each future the coroutine waits for is done."""
    set_running = asyncio.events._set_running_loop
    set_running(loop)
    try:
        while True:
            try:
                awaited = coro.send(None)
            except StopIteration as stop:
                return stop.value  # type: ignore[no-any-return]
            set_running(None)
            try:
                _run_until_done(loop, awaited)
            except BaseException:
                coro.close()
                raise
            finally:
                set_running(loop)
    finally:
        set_running(None)


def _run_until_done(loop: asyncio.AbstractEventLoop, awaited: Any) -> None:
    """Runs `loop` until the future a coroutine yielded is done (once, for a bare yield)."""
    if awaited is None:
        loop.call_soon(loop.stop)
        loop.run_forever()
        return
    if not asyncio.isfuture(awaited):
        raise RuntimeError(f"a coroutine of the environment waited for {awaited!r}")
    awaited._asyncio_future_blocking = False

    def stop(_: Any) -> None:
        loop.stop()

    awaited.add_done_callback(stop)
    try:
        while not awaited.done():
            loop.run_forever()
    finally:
        awaited.remove_done_callback(stop)


class BackendOwner:
    """What the single and the vector environment share over their Backend."""

    _backend: Backend

    def run(self, awaitable: Awaitable[T]) -> T:
        """Runs a coroutine on this environment's event loop, for calls of one's own on its
        engines (whose methods must be called while that loop runs)."""
        self._check_open()
        return self._backend.run(awaitable)

    @property
    def ui_pids(self) -> list[int]:
        """Process ids of the UI processes this environment started."""
        return self._backend.ui_pids

    def _check_open(self) -> None:
        if self._backend.closed:
            raise RuntimeError("the environment is closed")

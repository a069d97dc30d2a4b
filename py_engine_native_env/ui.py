"""The reference UI as a child process: headless under Node (one process for any number of
engines), or the page in Chromium (for render_mode "human" and "rgb_array").

The wheel carries the UI beside this file, in ui/ (headless.mjs, src/, the page and the `ws`
package); a source checkout uses its own ui/ folder. Only Node itself must be installed.
"""

from __future__ import annotations

import contextlib
import functools
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.parse
import weakref
from typing import IO, Mapping

HERE = os.path.dirname(os.path.abspath(__file__))


class NodeNotFoundError(RuntimeError):
    """Node.js, which runs the reference UI, is not installed, not where it was said to be, or too
    old."""


def ui_dir(override: str | os.PathLike[str] | None = None) -> str:
    """The folder holding headless.mjs and node_modules/ws: `override`, else the copy in the
    installed package, else the ui/ folder of the source checkout."""
    candidates = [os.fspath(override)] if override else [
        os.path.join(HERE, "ui"), os.path.join(os.path.dirname(HERE), "ui")]
    for folder in candidates:
        if os.path.isfile(os.path.join(folder, "headless.mjs")):
            if not os.path.isdir(os.path.join(folder, "node_modules", "ws")):
                raise RuntimeError(f"the reference UI in {folder} lacks its Node package ws: "
                                   f"run `npm ci --prefix {folder}`")
            return folder
    raise RuntimeError("the reference UI is not installed: no headless.mjs in "
                       + " or ".join(candidates))


def find_node(node: str | None = None) -> str:
    """The path of the Node executable (`node` given, else `node` on PATH)."""
    found = shutil.which(node or "node")
    if found is None:
        where = f"at {node!r}" if node else "on PATH"
        raise NodeNotFoundError(
            f"the reference UI needs Node.js 18 or later, but no node executable was found "
            f"{where}; install it (Debian: apt install nodejs) or pass node=PATH, or pass "
            f"ui='none' and connect a UI yourself")
    _check_node_version(found)
    return found


@functools.lru_cache(maxsize=None)
def _check_node_version(node: str) -> None:
    """Raises NodeNotFoundError, with the UI's own advice, when `node` is too old for the UI."""
    check = next((c for c in (os.path.join(HERE, "ui", "node-version.cjs"),
                              os.path.join(os.path.dirname(HERE), "ui", "node-version.cjs"))
                  if os.path.isfile(c)), None)
    if check is not None:
        run = subprocess.run([node, check], capture_output=True, text=True, timeout=30)
        if run.returncode != 0:
            raise NodeNotFoundError(run.stderr.strip() or f"{node} {check} failed")


class UIProcess:
    """One UI child process; `stop()` ends it (and what it started), `alive` tells if it runs."""

    def __init__(self, args: list[str], *, stdout: int | None = None) -> None:
        self.args = args
        self._log: IO[bytes] = tempfile.TemporaryFile()
        # A process group of its own, so that stop() also ends Chromium under browser.mjs. The
        # runners stop when their standard input ends: when this process dies, so do they.
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=stdout,
                                     stderr=self._log, start_new_session=True)
        # Also stopped when forgotten, and at the interpreter's exit.
        self._end = weakref.finalize(self, _end_process, self.proc, 10.0)

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def alive(self) -> bool:
        return self.proc.poll() is None

    def output(self) -> str:
        """What the process has written to its standard error so far."""
        self._log.seek(0)
        return self._log.read().decode(errors="replace")

    def failure(self) -> str | None:
        """Why the process has ended, with the end of its standard error; None while it runs."""
        if self.alive:
            return None
        tail = self.output()[-2000:].strip()
        return f"{' '.join(self.args[:2])} exited with status {self.proc.returncode}" + (
            f": {tail}" if tail else "")

    def stop(self) -> None:
        """Ends the process (SIGTERM, then SIGKILL to its group after 10 s). Idempotent."""
        self._end()
        self._log.close()

    def __enter__(self) -> UIProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def _end_process(proc: subprocess.Popen[bytes], timeout: float) -> None:
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    for stream in (proc.stdin, proc.stdout):
        if stream:
            stream.close()


def _setting_args(settings: Mapping[str, object]) -> list[str]:
    args: list[str] = []
    for name, value in settings.items():
        args += [f"--{name.replace('_', '-')}", str(value)]
    return args


def start_headless(urls: list[str], settings: Mapping[str, object] | None = None, *,
                   node: str | None = None, folder: str | None = None,
                   quiet: bool = True) -> UIProcess:
    """One Node process serving every engine URL in `urls` (the i-th with seed + i)."""
    node_path = find_node(node)
    args = [node_path, os.path.join(ui_dir(folder), "headless.mjs"), *urls,
            *_setting_args(settings or {})]
    return UIProcess(args + ["--until-stdin-ends"] + (["--quiet"] if quiet else []))


class BrowserUI:
    """The page in Chromium on one engine URL: ui/serve.mjs serves ui/, ui/browser.mjs opens it
    (headed for "human") and takes screenshots on request; with `screenshot`, browser.mjs
    itself saves a PNG there during a training episode with trades (or when stopped)."""

    def __init__(self, url: str, settings: Mapping[str, object] | None = None, *,
                 headed: bool = False, node: str | None = None, folder: str | None = None,
                 screenshot: str | None = None, timeout: float = 60.0) -> None:
        node_path = find_node(node)
        root = ui_dir(folder)
        if not os.path.isdir(os.path.join(root, "node_modules", "playwright-core")):
            raise RuntimeError(
                f"rendering the page needs playwright-core beside the UI in {root} "
                f"(npm install --prefix {root} playwright-core) and Chromium at /usr/bin/chromium "
                f"(Debian: apt install chromium); pass ui_dir=FOLDER to use another copy of ui/")
        self.server = UIProcess([node_path, os.path.join(root, "serve.mjs"), "0"],
                                stdout=subprocess.PIPE)
        self.browser: UIProcess | None = None
        try:
            base = self._line(self.server, timeout)
            if not base.startswith("http://"):
                raise RuntimeError(f"ui/serve.mjs did not print its URL (got {base!r})")
            query = urllib.parse.urlencode({"ws": url, **(settings or {})}, safe=":/")
            page = f"{base.rstrip('/')}/index.html?{query}"
            args = [node_path, os.path.join(root, "browser.mjs"), "--page", page, "--state"]
            if screenshot:  # taken during a training episode with trades, else when stopped
                args += ["--screenshot", os.path.abspath(screenshot),
                         "--screenshot-when", "trading"]
            self.browser = UIProcess(args + (["--headed"] if headed else []),
                                     stdout=subprocess.PIPE)
            ready = self._line(self.browser, timeout)
            if ready != "ready":
                raise RuntimeError(f"ui/browser.mjs did not start: {self.browser.failure() or ready}")
        except BaseException:
            self.stop()
            raise

    @property
    def alive(self) -> bool:
        return self.server.alive and self.browser is not None and self.browser.alive

    def failure(self) -> str | None:
        return self.server.failure() or (self.browser.failure() if self.browser else None)

    def screenshot(self, path: str, timeout: float = 30.0) -> None:
        assert self.browser is not None and self.browser.proc.stdin is not None
        self.browser.proc.stdin.write(f"screenshot {path}\n".encode())
        self.browser.proc.stdin.flush()
        reply = self._line(self.browser, timeout)
        if reply != f"saved {path}":
            raise RuntimeError(f"screenshot failed: {reply or self.browser.failure()}")

    def stop(self) -> None:
        for proc in (self.browser, self.server):
            if proc is not None:
                proc.stop()

    @staticmethod
    def _line(proc: UIProcess, timeout: float) -> str:
        stream = proc.proc.stdout
        assert stream is not None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([stream], [], [], 0.1)
            if ready:
                line = stream.readline()
                if line:
                    return line.decode(errors="replace").strip()
                # The output ended: the process is ending. Say why once it has (it may not
                # have been reaped yet, and an unreaped process has no status to tell).
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.proc.wait(timeout=5)
                raise RuntimeError(proc.failure() or f"{' '.join(proc.args[:2])} closed its output")
            if not proc.alive:
                raise RuntimeError(proc.failure() or "the UI process ended")
        raise RuntimeError(f"{' '.join(proc.args[:2])} printed nothing within {timeout:.0f} s")

"""Starts and stops the reference UI as the engine's peer: headless under Node, or the page in
Chromium (served by ui/serve.mjs, opened by ui/browser.mjs)."""

from __future__ import annotations

import os
import select
import subprocess
import urllib.parse

UI_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui")


class Peers:
    """The processes of one peer; `stop()` ends them, last started first."""

    def __init__(self) -> None:
        self.procs: list[subprocess.Popen] = []

    def spawn(self, args: list[str], **kwargs) -> subprocess.Popen:
        proc = subprocess.Popen(args, **kwargs)
        self.procs.append(proc)
        return proc

    def failed(self) -> str | None:
        """A description of the first process that has exited, if any."""
        for proc in self.procs:
            if proc.poll() is not None:
                return f"{_name(proc)} exited with status {proc.returncode}"
        return None

    def stop(self) -> None:
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            if proc.stdout:
                proc.stdout.close()
        self.procs.clear()


def start_headless(ws_url: str, settings: dict[str, object]) -> Peers:
    """`node ui/headless.mjs WS --name value ... --quiet`."""
    peers = Peers()
    args = ["node", os.path.join(UI_DIR, "headless.mjs"), ws_url, "--quiet"]
    for name, value in settings.items():
        args += [f"--{name.replace('_', '-')}", str(value)]
    peers.spawn(args, stdin=subprocess.DEVNULL)
    return peers


def start_browser(ws_url: str, settings: dict[str, object], *, headed: bool = False,
                  screenshot: str | None = None, timeout: float = 30.0) -> Peers:
    """Serve ui/ on an ephemeral loopback port and open the page on `ws_url` in Chromium."""
    peers = Peers()
    try:
        server = peers.spawn(["node", os.path.join(UI_DIR, "serve.mjs"), "0"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        base = _first_line(server, timeout)
        if not base.startswith("http://"):
            raise RuntimeError(f"ui/serve.mjs did not print its URL (got {base!r})")
        query = urllib.parse.urlencode({"ws": ws_url, **settings}, safe=":/")
        page = f"{base.rstrip('/')}/index.html?{query}"
        args = ["node", os.path.join(UI_DIR, "browser.mjs"), "--page", page]
        if headed:
            args.append("--headed")
        if screenshot:  # taken during a training episode with trades (at exit if none came)
            args += ["--screenshot", screenshot, "--screenshot-when", "trading"]
        peers.spawn(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    except BaseException:
        peers.stop()
        raise
    return peers


def _first_line(proc: subprocess.Popen, timeout: float) -> str:
    assert proc.stdout is not None
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    if not ready:
        raise RuntimeError(f"{_name(proc)} printed nothing within {timeout:.0f} s")
    return proc.stdout.readline().strip()


def _name(proc: subprocess.Popen) -> str:
    """"node ui/<script>" of a peer process, for messages."""
    return " ".join(str(arg) for arg in list(proc.args)[:2])  # type: ignore[arg-type]

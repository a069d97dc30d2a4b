# End to end in real headless Chromium: the engine listens on loopback, ui/serve.mjs serves the
# reference UI, ui/browser.mjs opens it in Debian's Chromium, and one episode runs through every
# engine method. Results are checked in Python against the UI's documented reply layouts, and
# the page's own state (window.__uiState) against what Python did; then what a person watching
# sees: the hint and reconnect countdown before the engine exists, markers, the table, the
# statistics and the episode history, the freeze and speed-limit controls, both screen sizes.
# Screenshots land in tests/artifacts/ (their paths are printed). Every wait is bounded; child
# processes are always stopped.
import asyncio
import json
import math
import os
import signal
import struct
import time

import numpy as np
import pytest

from standin import STEP, free_port

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
UI = os.path.join(ROOT, "ui")
ARTIFACTS = os.path.join(ROOT, "tests", "artifacts")
CHROMIUM = "/usr/bin/chromium"
PLAYWRIGHT = os.path.join(UI, "node_modules", "playwright-core")

pytestmark = pytest.mark.skipif(
    not os.path.exists(CHROMIUM) or not os.path.isdir(PLAYWRIGHT),
    reason=f"needs Debian Chromium at {CHROMIUM} and {PLAYWRIGHT} "
           "(scripts/install-deps.sh browser; npm ci --prefix ui)")

START = 60.0     # Chromium start plus page load
WHOLE = 240.0    # the whole test
EPISODE_LENGTH = 80
STEPS = 40       # step_next calls before the single step_and_sync


def candle_rows(count=241):
    """Open, high, low, close, volume: a gentle wave on a slow rise, each candle opening at the
    previous close, so a limit order inside the range fills at exactly its price."""
    i = np.arange(count, dtype=np.float64)
    close = 100.0 + 4.0 * np.sin(i / 9.0) + 0.02 * i
    open_ = np.concatenate(([100.0], close[:-1]))
    return np.column_stack([open_, np.maximum(open_, close) + 0.3, np.minimum(open_, close) - 0.3,
                            close, 1000.0 + i])


class Child:
    """A node process with line-oriented stdout (and stdin when asked)."""

    def __init__(self, proc):
        self.proc = proc

    @classmethod
    async def start(cls, *args, stdin=False):
        proc = await asyncio.create_subprocess_exec(
            "node", *args, cwd=ROOT, stdout=asyncio.subprocess.PIPE,
            stdin=asyncio.subprocess.PIPE if stdin else asyncio.subprocess.DEVNULL)
        return cls(proc)

    async def line(self, timeout=STEP):
        raw = await asyncio.wait_for(self.proc.stdout.readline(), timeout)
        assert raw, f"node {self.proc.pid} closed stdout (exit {self.proc.returncode})"
        return raw.decode().rstrip("\n")

    async def ask(self, command, timeout=STEP):
        self.proc.stdin.write(command.encode() + b"\n")
        await self.proc.stdin.drain()
        return await self.line(timeout)

    async def stop(self, timeout=STEP):
        """SIGTERM, then SIGKILL if it lingers; returns the exit status."""
        if self.proc.returncode is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                await asyncio.wait_for(self.proc.wait(), timeout)
            except asyncio.TimeoutError:
                self.proc.kill()
                await self.proc.wait()
        return self.proc.returncode


class Session:
    """Engine calls, each bounded and counted: the page must have served exactly this many."""

    def __init__(self, engine):
        self.engine = engine
        self.requests = 0
        self.last = ""

    async def __call__(self, method, *args, **kwargs):
        fut = getattr(self.engine, method)(*args, **kwargs)
        self.requests += 1
        self.last = method
        return await asyncio.wait_for(fut, STEP)


async def page_state(browser, until, timeout=STEP):
    """Polls window.__uiState until until(state) holds (the page redraws once per frame)."""
    deadline = asyncio.get_running_loop().time() + timeout
    while True:
        state = json.loads(await browser.ask("state"))
        if state is not None and until(state):
            return state
        assert asyncio.get_running_loop().time() < deadline, f"page state stuck at {state}"
        await asyncio.sleep(0.05)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    return struct.unpack(">II", head[16:24])


def by_name(fields, row):
    return dict(zip(fields, row.tolist()))


# Centre colours of the markers (RGB), as the page's colour-blind-safe palette draws them.
MARK_RGB = {"buy": (255, 255, 255), "sell": (255, 255, 255), "win": (86, 180, 233),
            "loss": (230, 159, 0), "train": (86, 180, 233), "test": (230, 159, 0)}


async def probe(browser, points, kinds):
    """The pixel at each point is its kind's colour; the last point drawn at a place wins."""
    top = {(round(p["x"]), round(p["y"])): p for p in points}
    seen = set()
    for (x, y), p in top.items():
        kind = p.get("kind") or p["type"]
        seen.add(kind)
        rgba = json.loads(await browser.ask(f"pixel {x} {y}"))
        assert all(abs(a - b) <= 8 for a, b in zip(rgba, MARK_RGB[kind])), (kind, x, y, rgba)
    assert kinds <= seen, f"{kinds - seen} not drawn"


async def shot(browser, name, size):
    path = os.path.join(ARTIFACTS, name)
    assert await browser.ask(f"screenshot {path}", timeout=30) == f"saved {path}"
    assert png_size(path) == size
    print(f"screenshot: {path}")
    return path


async def episode(run, browser, candles):
    """Every engine method once or more, checked against the reference UI's reply layouts."""
    config = json.loads(await run("get_rl_config"))
    assert config["protocol_version"] == 1 and config["sync_policy"] == "eager"
    assert config["candle_source"] == "generated" and config["episode_length"] == EPISODE_LENGTH
    assert await run("get_sync_policy") == "eager"

    assert await run("init_candles", candles) is None
    config = json.loads(await run("get_rl_config"))
    assert (config["candle_source"], config["candle_count"]) == ("init_candles", len(candles))
    # 241 candles cut into 80-step episodes: three, of which the last is the test set.
    assert (config["train_episodes"], config["test_episodes"]) == (2, 1)
    snap_f, ticket_f, event_f = config["snapshot_fields"], config["ticket_fields"], config["event_fields"]
    code = config["event_codes"]

    # Indices wrap around their set; the reply is the episode actually selected.
    assert await run("reset_episode", 7, "test") == 0
    assert await run("reset_episode", 3, "train") == 1
    start = EPISODE_LENGTH  # train episode 1 begins at candle 80
    snap = by_name(snap_f, await run("get_snapshot"))
    assert snap["step"] == 0 and snap["close"] == candles[start, 3]
    assert (snap["episode_index"], snap["episode_type"], snap["done"]) == (1, 0, 0)
    assert snap["equity"] == snap["balance"] == config["initial_equity"]

    ohlc = await run("get_ohlc")
    assert ohlc.dtype == np.float64 and ohlc.shape == (config["ohlc_window"], 6)
    first = start + 1 - config["ohlc_window"]
    np.testing.assert_array_equal(ohlc[:, 1:5], candles[first:start + 1, :4])
    np.testing.assert_array_equal(ohlc[:, 0], 1700000000 + 60.0 * np.arange(first, start + 1))

    # A market buy fills at the current close; levels are price distances, far off on purpose.
    ticket = await run("place_ticket", "buy", 2, take_profit=50.0, stop_loss=50.0)
    assert ticket.shape == (4,) and (ticket[0], ticket[2], ticket[3]) == (1.0, snap["close"], 0.0)
    ticket_id = int(ticket[1])
    # A buy limit below the market: pending now, filled at its price on the first candle whose
    # low reaches it (each candle opens at the previous close, so no gap).
    limit = (candles[start, 3] + candles[start + 1:start + 30, 2].min()) / 2
    fill_at = start + 1 + int(np.argmax(candles[start + 1:, 2] <= limit))
    assert fill_at - start < STEPS, "test data must fill the limit order within the steps taken"
    order = await run("place_order", "buy", "limit", limit, 3, take_profit=0.2, stop_loss=0.2)
    assert order[0] == 1.0 and math.isnan(order[2]) and order[3] == 0.0
    order_id = int(order[1])
    assert order_id > ticket_id
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert [r[:3] for r in state["rows"]] == [
        [f"#{ticket_id}", "position", "▲ buy"], [f"#{order_id}", "limit order", "▲ buy"]]
    assert state["rows"][1][4] == f"@ {limit:.2f}" and state["rows"][1][6] == "pending"

    tickets = await run("get_ticket_list")
    assert tickets.shape == (1, len(ticket_f))
    row = by_name(ticket_f, tickets[0])
    assert (row["id"], row["side"], row["units"], row["source"]) == (ticket_id, 1, 2, 2)
    assert row["take_profit_price"] == row["entry_price"] + 50.0
    assert row["stop_loss_price"] == row["entry_price"] - 50.0

    for _ in range(STEPS):
        assert await run("step_next") is None
    matrix, vector = await run("step_and_sync")
    snap = by_name(snap_f, vector)
    assert snap["step"] == STEPS + 1 and snap["close"] == candles[start + STEPS + 1, 3]
    assert (snap["open_positions"], snap["pending_orders"]) == (2, 0)
    assert matrix.shape == (2, len(ticket_f))
    assert sorted(matrix[:, 0]) == [ticket_id, order_id]
    unrealised = sum(s * (snap["close"] - e) * u for s, e, u in matrix[:, [1, 3, 2]])
    assert snap["equity"] == pytest.approx(config["initial_equity"] + unrealised)

    events = await run("fetch_events")
    assert events.ndim == 2 and events.shape[1] == len(event_f)
    fills = {int(e[3]): by_name(event_f, e) for e in events if e[0] == code["filled"]}
    assert fills[ticket_id]["step"] == 0 and fills[ticket_id]["price"] == candles[start, 3]
    assert fills[order_id]["step"] == fill_at - start and fills[order_id]["price"] == limit
    assert (await run("fetch_events")).shape[0] == 0  # a fetch clears them

    # The page shows what Python sees: every request served, the candles, both positions.
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert state["connected"] and state["last"] == run.last
    assert state["candles"] == STEPS + 2 and state["equityPoints"] == STEPS + 2
    assert (state["positions"], state["orders"]) == (2, 0)
    # The table lists both positions; the statistics and the markers show the two entries.
    assert [(r[0], r[1], r[2]) for r in state["rows"]] == [
        (f"#{ticket_id}", "position", "▲ buy"), (f"#{order_id}", "position", "▲ buy")]
    assert [r[3] for r in state["rows"]] == ["2", "3"] and "TP" in state["rows"][0][7]
    assert state["stats"]["step"] == f"{STEPS + 1} / {EPISODE_LENGTH}"
    assert state["stats"]["trades"] == "0" and state["stats"]["winRate"] == "—"
    await probe(browser, state["marks"], {"buy"})
    assert all(state["layout"]["inView"].values()) and not state["layout"]["scrolls"]
    await shot(browser, "browser.png", (1280, 800))

    # Halve the ticket, close the filled order, name an id that does not exist.
    result = await run("close_positions", [ticket_id, order_id, 9999], [2, 1, 1], [0.5, 0.0, 0.0])
    assert result.shape == (3, 6)
    assert result[0, 1:3].tolist() == [1.0, 1.0] and result[0, 5] == 1.0
    assert result[1, 1:3].tolist() == [1.0, 3.0] and result[1, 5] == 0.0
    assert result[2, 1] == -1.0 and math.isnan(result[2, 5])
    assert result[1, 4] == pytest.approx(3 * (snap["close"] - limit))
    events = await run("fetch_events")
    assert sorted(events[:, [0, 3]].tolist()) == [[code["closed"], order_id], [code["reduced"], ticket_id]]
    tickets = await run("get_ticket_list")
    assert tickets[:, [0, 2]].tolist() == [[ticket_id, 1.0]]
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert [r[0] for r in state["rows"]] == [f"#{ticket_id}"] and state["stats"]["trades"] == "1"
    assert [m["kind"] for m in state["marks"]] == ["buy", "buy", "win", "win"]
    await probe(browser, state["marks"], {"win"})

    summary = await run("end_session")
    assert summary.shape == (1, len(config["summary_fields"]))
    total = by_name(config["summary_fields"], summary[0])
    assert (total["episode_index"], total["episode_type"], total["steps"]) == (1, 0, STEPS + 1)
    assert total["final_equity"] == pytest.approx(total["initial_equity"] + total["realised_pnl"])
    assert total["closed_trades"] == 2
    late = await run("place_ticket", "sell", 1)
    assert late[0] == 0.0 and late[3] == config["reject_reasons"]["episode_done"]
    snap = by_name(snap_f, await run("get_snapshot"))
    assert (snap["done"], snap["open_positions"]) == (1, 0)
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert state["positions"] == 0 and state["last"] == "get_snapshot"
    assert state["history"] == [
        {"type": "train", "index": 1, "final": total["final_equity"], "trades": 2}]
    assert state["stats"]["winRate"] == "100.0% (2/2)"


async def watching(run, browser):
    """A test episode watched by a person: slowed down, and frozen for a while."""
    assert await run("reset_episode", 0, "test") == 0
    assert (await run("place_ticket", "sell", 5))[0] == 1.0
    await run("step_next")
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert (state["episode"], state["step"], state["rows"][0][2]) == ("test #0", 1, "▼ sell")

    # Five steps down from no limit: 500, 200, 100, 50, 20 steps/s.
    for _ in range(5):
        await browser.ask("press -")
    state = await page_state(browser, lambda s: s["limit"] == 20)
    assert state["speedText"] == "≤ 20 steps/s"

    assert await browser.ask("press f") == "pressed f"
    frozen = await page_state(browser, lambda s: s["frozen"] and s["banner"])
    assert frozen["banner"].startswith("❚❚ View frozen at test #0 step 1.")
    for _ in range(3):
        await run("step_next")
    state = await page_state(browser, lambda s: s["served"] == run.requests and s["liveStep"] == 4)
    assert (state["step"], state["draws"], state["rows"]) == (1, frozen["draws"], frozen["rows"])
    assert "(now step 4)" in state["banner"]
    await shot(browser, "browser-frozen.png", (1280, 800))
    assert await browser.ask("press F") == "pressed F"
    state = await page_state(browser, lambda s: not s["frozen"] and s["step"] == 4)
    assert state["banner"] == ""

    # Replies are held for the limit, and no call fails.
    began = time.monotonic()
    for _ in range(6):
        await run("step_next")
    assert time.monotonic() - began >= 5 / 20
    await browser.ask("press 0")
    state = await page_state(browser, lambda s: s["limit"] == 0)
    assert state["speedText"] == "no limit"

    await run("end_session")  # the sell closes with a loss: the price rose
    state = await page_state(browser, lambda s: s["served"] == run.requests)
    assert [h["type"] for h in state["history"]] == ["train", "test"]
    assert state["marks"][-1]["kind"] == "loss"
    await probe(browser, state["marks"] + state["historyPoints"], {"sell", "loss", "train", "test"})

    assert await browser.ask("viewport 1920 1080") == "viewport 1920 1080"
    state = await page_state(browser, lambda s: s["layout"]["viewport"] == [1920, 1080])
    assert all(state["layout"]["inView"].values()) and not state["layout"]["scrolls"]
    await shot(browser, "browser-1920.png", (1920, 1080))
    await browser.ask("viewport 1280 800")


def test_episode_through_every_method_in_chromium():
    from py_engine_native import NativeEngineAsync
    os.makedirs(ARTIFACTS, exist_ok=True)
    final_shot = os.path.join(ARTIFACTS, "browser-end.png")
    if os.path.exists(final_shot):
        os.remove(final_shot)

    async def script():
        port = free_port()
        engine = NativeEngineAsync("127.0.0.1", port)
        children = []
        try:
            server = await Child.start(os.path.join(UI, "serve.mjs"), "0")
            children.append(server)
            url = await server.line()
            assert url.startswith("http://127.0.0.1:")
            page = (f"{url}index.html?ws=ws://127.0.0.1:{port}&sync=eager"
                    f"&episode_length={EPISODE_LENGTH}&spread=0&commission=0")
            browser = await Child.start(os.path.join(UI, "browser.mjs"), "--page", page, "--state",
                                        "--screenshot", final_shot, stdin=True)
            children.append(browser)
            assert await browser.line(START) == "ready"
            # No engine yet: the hint, the reason in words and the countdown to the next try.
            # (how soon Chromium reports a refused connection is its own affair: a long wait)
            state = await page_state(browser, lambda s: s["state"] == "waiting", timeout=START)
            assert state["hint"] and not state["connected"]
            assert state["problem"].startswith("Engine not reachable: nothing listens there")
            assert "retrying in" in state["problem"] and state["retryAt"] > 0

            await asyncio.wait_for(engine.start(), STEP)
            await asyncio.wait_for(engine.wait_connected(timeout_secs=30), 35)
            state = await page_state(browser, lambda s: s["connected"])
            assert not state["hint"] and state["problem"] == ""

            run = Session(engine)
            await episode(run, browser, candle_rows())
            await watching(run, browser)

            # SIGTERM: the launcher takes its screenshot, closes Chromium and exits 0.
            assert await browser.stop(timeout=30) == 0
            assert png_size(final_shot) == (1280, 800)
        finally:
            for child in reversed(children):
                await child.stop()

    asyncio.run(asyncio.wait_for(script(), WHOLE))


def test_check_ui_passes_with_the_page_in_chromium(tmp_path):
    """The conformance check, with the reference page in Chromium as the UI."""
    from test_check_ui import finish_check, start_check

    async def script():
        port = free_port()
        report = tmp_path / "report.json"
        check = start_check(port, report, wait=START + 30)
        children = []
        try:
            server = await Child.start(os.path.join(UI, "serve.mjs"), "0")
            children.append(server)
            url = await server.line()
            browser = await Child.start(os.path.join(UI, "browser.mjs"), "--page",
                                        f"{url}index.html?ws=ws://127.0.0.1:{port}")
            children.append(browser)
            assert await browser.line(START) == "ready"
            return await asyncio.to_thread(finish_check, check, report, WHOLE / 2)
        finally:
            check.kill()
            for child in reversed(children):
                await child.stop()

    status, lines, passed, failed = asyncio.run(asyncio.wait_for(script(), WHOLE))
    assert (status, failed) == (0, 0), "\n".join(lines)
    assert passed >= 30

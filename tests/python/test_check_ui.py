# The conformance check (python -m py_engine_native_env.check_ui) against the headless reference
# UI, which must pass, and against copies of it with one protocol fault each, which must
# fail with lines that name the fault. The Chromium run is in test_browser.py.
import json
import os
import re
import subprocess
import sys

import pytest

from standin import child_env, free_port

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BROKEN_UI = os.path.join(os.path.dirname(__file__), "broken_ui.mjs")
SUMMARY = re.compile(r"(\d+) passed, (\d+) failed")


def check_env():
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], ROOT])
    return env


def start_check(port, report, wait=30):
    return subprocess.Popen(
        [sys.executable, "-m", "py_engine_native_env.check_ui", "--port", str(port),
         "--json", str(report), "--wait", str(wait), "--timeout", "5"],
        cwd=ROOT, env=check_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish_check(check, report, timeout=120):
    """Waits for the check; returns (exit status, check lines, passed, failed)."""
    out, err = check.communicate(timeout=timeout)
    lines = out.splitlines()
    summary = SUMMARY.fullmatch(lines[-1]) if lines else None
    assert summary, f"no summary line:\n{out}\n{err}"
    passed, failed = int(summary[1]), int(summary[2])
    with open(report, encoding="utf-8") as f:
        data = json.load(f)
    assert (data["passed"], data["failed"], len(data["checks"])) == (passed, failed, len(lines) - 1)
    assert all(line.startswith(("PASS ", "FAIL ")) for line in lines[:-1]), out
    return check.returncode, lines[:-1], passed, failed


@pytest.mark.parametrize("fault, named", [
    (None, None),
    ("columns", "wrong column count: the matrix has 5 columns, get_rl_config's ohlc_fields names 6"),
    ("width", "wrong column count: the matrix has 12 columns, earlier replies had 13"),
    ("nan", "non-finite number nan at index 10"),
    ("seq", "seq not echoed: request"),
    ("unmasked", "unmasked frame: the UI sent a WebSocket frame without a mask"),
])
def test_check_ui_against_headless_uis(fault, named, tmp_path):
    port = free_port()
    report = tmp_path / "report.json"
    check = start_check(port, report)
    url = f"ws://127.0.0.1:{port}"
    ui_args = [os.path.join(ROOT, "ui", "headless.mjs"), url, "--quiet"] if fault is None \
        else [BROKEN_UI, url, fault]
    ui = subprocess.Popen(["node", *ui_args], cwd=ROOT, stdout=subprocess.DEVNULL)
    try:
        status, lines, passed, failed = finish_check(check, report)
    finally:
        check.kill()
        ui.terminate()
        ui.wait(10)
    text = "\n".join(lines)
    if fault is None:
        assert (status, failed) == (0, 0), text
        assert passed >= 30 and lines[0].startswith("PASS UI connects")
    else:
        assert status == 1 and failed >= 1, text
        failures = [line for line in lines if line.startswith("FAIL ")]
        assert all(named in line for line in failures), text


def test_check_ui_reports_a_missing_ui_and_bad_arguments(tmp_path):
    report = tmp_path / "report.json"
    status, lines, passed, failed = finish_check(start_check(0, report, wait=0.5), report)
    assert (status, passed, failed) == (1, 0, 1)
    assert lines == ["FAIL UI connects: no UI connected within 0.5 s"]
    with open(report, encoding="utf-8") as f:  # --port 0: the report names the port chosen
        assert re.fullmatch(r"ws://127\.0\.0\.1:[1-9]\d*/", json.load(f)["ui"])
    bad = subprocess.run([sys.executable, "-m", "py_engine_native_env.check_ui", "--port", "70000"],
                         cwd=ROOT, env=check_env(), capture_output=True, text=True, timeout=60)
    assert bad.returncode == 2 and "--port must lie in 0..65535" in bad.stderr

# The byte examples of ui/protocol-vectors.json played against the real engine: every request
# the engine sends must be the vector's bytes, and every vector reply must reach Python as the
# vector's result (or error). ui/test/vectors.test.mjs checks the same file against the
# reference UI's decoders, so the protocol document and its examples cannot drift.
import json
import os

import numpy as np

from standin import connected, outcome, run

VECTORS = os.path.join(os.path.dirname(__file__), "..", "..", "ui", "protocol-vectors.json")


def as_json(value):
    """A Python result in the vector file's form (arrays as lists, step_and_sync as a list)."""
    if isinstance(value, tuple):
        return [as_json(item) for item in value]
    if isinstance(value, np.ndarray):
        assert value.dtype == np.float64
        return value.tolist()
    return value


def test_engine_matches_every_vector():
    with open(VECTORS, encoding="utf-8") as f:
        vectors = json.load(f)["vectors"]

    async def script():
        async with connected() as (engine, ui, _):
            for v in vectors:
                args = [np.array(a) if v["method"] == "init_candles" else a for a in v["args"]]
                fut = getattr(engine, v["method"])(*args, **v["kwargs"])
                req = await ui.recv_request()
                assert ui.requests[-1].hex() == v["request"], v["name"]
                assert (req.seq, req.fn_id) == (v["seq"], v["fnId"])
                for sent, answer in zip(v.get("ui_sends_first", []), v.get("engine_answers", [])):
                    await ui.send(bytes.fromhex(sent))
                    assert (await ui.ws.recv()).hex() == answer, v["name"]
                await ui.send(bytes.fromhex(v["reply"]))
                kind, value = await outcome(fut)
                if "error" in v:
                    assert (kind, f"{type(value).__name__}: {value}") == ("error", v["error"]["python"])
                else:
                    assert kind == "ok", f"{v['name']}: {value!r}"
                    assert as_json(value) == v["result"], v["name"]

    run(script())

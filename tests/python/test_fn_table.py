# Facts that more than one language needs. The function ids are written three times: the
# engine's (enum FnId in src/codec/frame.hpp), the stand-in UI's (standin.FN) and the protocol
# document's (ui/PROTOCOL.md, "## 5. Functions"). The version is written once, in CMakeLists.txt
# (setup.py and the engine's handshake take it from there); the UI, which accepts exactly that
# version, and the documents repeat it.
import json
import os
import re

from standin import FN, HANDSHAKE_TEXT

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def test_engine_standin_and_protocol_agree_on_every_fn_id():
    enum = re.search(r"enum class FnId : std::uint16_t \{(.*?)\};", read("src", "codec", "frame.hpp"),
                     re.S).group(1)
    engine = {name: int(fn_id) for name, fn_id in re.findall(r"(\w+) = (\d+),", enum)}
    section = read("ui", "PROTOCOL.md").split("## 5. Functions", 1)[1].split("\n#", 1)[0]
    protocol = {m: int(i) for i, m in re.findall(r"^\|\s*(\d+)\s*\|\s*`(\w+)`", section, re.M)}

    camel = {"".join(w.capitalize() for w in m.split("_")): fn_id for m, fn_id in FN.items()}
    assert engine == camel
    assert protocol == FN


def test_the_ui_and_the_documents_name_the_version_of_cmakelists():
    version = re.search(r"project\(py_engine_native VERSION ([0-9.]+)", read("CMakeLists.txt"))[1]
    handshake = json.dumps({"type": "handshake", "python_library_version": version},
                           separators=(",", ":"))
    assert json.loads(read("ui", "package.json"))["version"] == version
    assert f"EXPECTED_LIBRARY_VERSION = '{version}';" in read("ui", "src", "connection.js")
    assert json.loads(read("ui", "protocol-vectors.json"))["handshake"] == handshake
    assert HANDSHAKE_TEXT == handshake and handshake in read("README.md")

# The type stub against the built module, stubtest-style: the same names, parameter lists that
# render to the module's own signature texts (which the README repeats), its docstrings, and
# types that admit what the module accepts and refuse what it refuses (checked by mypy --strict
# and by calling the module).
import ast
import asyncio
import fractions
import os
import re
import subprocess
import types

import numpy as np
import pytest

import py_engine_native as pen

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(ROOT, "py_engine_native.pyi")
README = os.path.join(ROOT, "README.md")
CLASS = "NativeEngineAsync"


def stub_definitions():
    """{name: FunctionDef} of the module functions and of the class ("Class.name")."""
    tree = ast.parse(open(STUB, encoding="utf-8").read(), STUB)
    found = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            found.update({f"{node.name}.{m.name}": m for m in node.body
                          if isinstance(m, ast.FunctionDef) and not is_setter(m)})
        elif isinstance(node, ast.FunctionDef):
            found[node.name] = node
    return found


def is_property(node):
    return any(getattr(d, "id", None) == "property" for d in node.decorator_list)


def is_setter(node):
    """The setter of a settable property, which shares its getter's name."""
    return any(getattr(d, "attr", None) == "setter" for d in node.decorator_list)


def signature_text(node):
    """The stub's parameters as CPython writes a __text_signature__: "($self, a, b=None)"."""
    args = node.args.posonlyargs + node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
    parts = []
    for i, (arg, default) in enumerate(zip(args, defaults)):
        name = "$" + arg.arg if i == 0 and arg.arg in ("self", "cls") else arg.arg
        parts.append(name if default is None else f"{name}={ast.unparse(default)}")
        if i + 1 == len(node.args.posonlyargs):
            parts.append("/")
    return "(" + ", ".join(parts) + ")"


def runtime_definitions():
    found = {name: getattr(pen, name) for name in pen.__all__ if name != CLASS}
    for cls in (CLASS, "EngineBatch"):  # the engine, and the group call outside __all__
        for name, member in vars(getattr(pen, cls)).items():
            if not name.startswith("__") or name in ("__aenter__", "__aexit__", "__len__"):
                found[f"{cls}.{name}"] = member
        found[f"{cls}.__new__"] = getattr(pen, cls)
    return found


def readme_signatures():
    """(name, parameter text) of every `name(...)` in the README."""
    return re.findall(r"`(\w+)(\([^`]*?\))`", open(README, encoding="utf-8").read())


def test_stub_and_readme_agree_with_the_module_texts():
    """The module's signature texts and docstrings (its C++ literals) are the source; the stub
    and the README repeat them."""
    stub, runtime = stub_definitions(), runtime_definitions()
    assert sorted(stub) == sorted(runtime)
    shown = {}  # short name -> signature text without $self, as the README writes it
    for name, node in stub.items():
        target, doc = runtime[name], ast.get_docstring(node)
        if is_property(node):
            assert isinstance(target, types.GetSetDescriptorType), name
            assert doc == target.__doc__, name
        elif name.endswith(".__new__"):  # the class's own signature, without cls
            assert signature_text(node).replace("($cls, ", "(") == target.__text_signature__
            shown[name.split(".")[0]] = target.__text_signature__
        else:
            assert signature_text(node) == target.__text_signature__, name
            if name.endswith(".__len__"):  # a slot: CPython writes its docstring
                pass
            elif "." in name:  # method docstrings: the signature line, then the module's text
                first, _, rest = (doc or "").partition("\n\n")
                assert first == target.__name__ + target.__text_signature__, name
                assert (target.__doc__ or "") in rest, name
            else:
                assert doc == target.__doc__, name
            shown[target.__name__] = target.__text_signature__.replace("$self, ", "") \
                .replace("$self", "")
    for node in ast.parse(open(STUB, encoding="utf-8").read()).body:
        if isinstance(node, ast.ClassDef) and node.name != CLASS:  # the failure classes
            assert ast.get_docstring(node) == getattr(pen, node.name).__doc__, node.name
    written = [(name, text) for name, text in readme_signatures() if name in shown]
    assert set(shown) - {name for name, _ in written} == {"__aenter__", "__aexit__", "__len__"}
    for name, text in written:  # a UI-facing method may leave out its last timeout_secs
        short = re.sub(r"(, )?timeout_secs=None\)$", ")", shown[name])
        assert text in (shown[name], short), name


CALLS = [  # (source line, whether mypy --strict accepts it)
    ("await e.place_ticket('buy', 5, stop_loss=1.5)", True),
    ("await e.place_order('sell', 'stop', np.float64(1.25), np.int32(3), time_limit=60)", True),
    ("await e.reset_episode(7, 'test', timeout_secs=np.float32(2))", True),
    ("await e.close_positions(np.array([7]), [2], np.array([0.5]))", True),
    ("await e.place_ticket('buy', 5, stop_loss='1.5')", False),
    ("await e.place_order('buy', 'limit', '1.0', 1)", False),
    ("await e.place_order('hold', 'limit', 1.0, 1)", False),
    ("await e.place_order('buy', 'market', 1.0, 1)", False),
    ("await e.place_ticket('buy', 1.5)", False),
    ("await e.reset_episode(7, 'validation')", False),
    ("await e.get_ohlc(timeout_secs='5')", False),
    ("await e.close_positions([1], [2], ['0.5'])", False),
]
LIFECYCLE = [  # the engine's lifecycle additions, where the module has them
    ("async with NativeEngineAsync('127.0.0.1', 0) as started: port: int | None = started.bound_port", True),
    ("address: tuple[str, int] | None = e.bound_address; await e.close()", True),
    ("text: str = e.bound_port", False),
]


def test_mypy_strict_admits_what_the_module_accepts_and_nothing_else(tmp_path):
    pytest.importorskip("mypy", reason="mypy not installed (apt install python3-mypy)")
    calls = CALLS + (LIFECYCLE if hasattr(pen.NativeEngineAsync, "close") else [])
    header = ["import numpy as np", "from py_engine_native import NativeEngineAsync",
              "async def main(e: NativeEngineAsync) -> None:"]
    (tmp_path / "py_engine_native.pyi").write_text(open(STUB, encoding="utf-8").read())
    (tmp_path / "caller.py").write_text("\n".join(header + [f"    {c}" for c, _ in calls]) + "\n")
    result = subprocess.run(["/usr/bin/python3", "-m", "mypy", "--strict", "--no-incremental",
                             "py_engine_native.pyi", "caller.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=180)
    flagged = {int(line.split(":")[1]) - len(header) - 1 for line in result.stdout.splitlines()
               if line.startswith("caller.py:") and ": error:" in line}
    assert "py_engine_native.pyi:" not in result.stdout, result.stdout
    assert flagged == {i for i, (_, ok) in enumerate(calls) if not ok}, result.stdout


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("value, accepted", [
    (1.25, True), (2, True), (True, True), (np.float32(1.5), True), (np.int64(3), True),
    (fractions.Fraction(3, 2), True), (Index(), True),
    ("1.5", False), (b"1", False), ([1.0], False), (None, False),
])
def test_float_parameters_take_what_the_stub_types_as_float(value, accepted):
    async def call():
        future = pen.NativeEngineAsync("127.0.0.1", 1).place_order("buy", "limit", value, 1)
        future.cancel()

    if accepted:
        asyncio.run(call())
    else:
        with pytest.raises(TypeError, match="argument 'price'"):
            asyncio.run(call())


def test_environment_package_type_checks_against_the_stub():
    pytest.importorskip("mypy", reason="mypy not installed (apt install python3-mypy)")
    result = subprocess.run(["/usr/bin/python3", "-m", "mypy", "--strict", "--no-incremental",
                             "--cache-dir", os.devnull, "-p", "py_engine_native_env"],
                            cwd=ROOT, capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stdout

# Packaging: the type stub matches the built module's surface, and `pip wheel .` (offline, no
# pyproject.toml, no build isolation flag) gives a cp310-abi3 wheel that installs into a fresh
# venv with the stub next to the module.
import ast
import glob
import os
import re
import shutil
import subprocess
import types
import zipfile

import pytest

import py_engine_native as pen

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(ROOT, "py_engine_native.pyi")
SYSTEM_PYTHON = "/usr/bin/python3"
PACKAGE = "py_engine_native_env"


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read(), STUB)


def stub_callables():
    """{qualified name: docstring or None} of the stub's functions and engine methods."""
    found = {}
    for node in stub_tree().body:
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        prefix = node.name + "." if isinstance(node, ast.ClassDef) else ""
        for member in members:
            if isinstance(member, ast.FunctionDef) and member.name != "__new__":
                found[prefix + member.name] = ast.get_docstring(member)
    return found


def stub_properties():
    """{name: docstring} of the engine's properties in the stub."""
    cls = next(node for node in stub_tree().body if isinstance(node, ast.ClassDef))
    return {member.name: ast.get_docstring(member) for member in cls.body
            if isinstance(member, ast.FunctionDef)
            and any(getattr(d, "id", None) == "property" for d in member.decorator_list)}


LISTED_SLOTS = ("__aenter__", "__aexit__", "__len__")


def runtime_callables():
    found = {name: getattr(pen, name) for name in pen.__all__[1:]}
    for cls in ("NativeEngineAsync", "EngineBatch"):  # the engine, and the group call
        for name, method in vars(getattr(pen, cls)).items():
            if callable(method) and (not name.startswith("__") or name in LISTED_SLOTS):
                found[f"{cls}.{name}"] = method
    return found


def test_stub_lists_the_module_surface():
    tree = stub_tree()
    declared_all = next(ast.literal_eval(node.value) for node in tree.body
                        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert declared_all == pen.__all__
    properties = stub_properties()
    stub = {name: doc for name, doc in stub_callables().items()
            if name.partition(".")[2] not in properties}
    runtime = runtime_callables()
    assert sorted(stub) == sorted(runtime)
    assert len([name for name in stub if name.startswith("NativeEngineAsync.")]) == 19
    assert properties == {name: d.__doc__ for name, d in vars(pen.NativeEngineAsync).items()
                          if isinstance(d, types.GetSetDescriptorType)}


CALLER = (
    "import numpy as np\n"
    "from py_engine_native import NativeEngineAsync, encode_vec_f64_py\n"
    "async def main(e: NativeEngineAsync) -> None:\n"
    "    matrix, vector = await e.step_and_sync()\n"
    "    index: int = await e.reset_episode(1, 'train')\n"
    "    policy = await e.get_sync_policy()\n"
    "    reply = await e.place_order('buy', 'limit', 1.0, 2, take_profit=0.1)\n"
    "    await e.close_positions([1], [2], [0.5])\n"
    "    payload: list[int] = encode_vec_f64_py(np.zeros(3))\n"
    "    wrong: str = await e.get_snapshot()\n")


def assert_caller_type_checks(folder, *mypy_args):
    """mypy --strict finds exactly the one planted mistake (a float64 array is not a str)."""
    pytest.importorskip("mypy", reason="mypy not installed (apt install python3-mypy)")
    (folder / "caller.py").write_text(CALLER)
    result = subprocess.run(
        [SYSTEM_PYTHON, "-m", "mypy", "--strict", "--no-incremental", *mypy_args, "caller.py"],
        cwd=folder, capture_output=True, text=True, timeout=180)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "caller.py:10:" in errors[0], result.stdout


def test_stub_type_checks_a_caller(tmp_path):
    shutil.copy(STUB, tmp_path)
    assert_caller_type_checks(tmp_path)


# ------------------------------------------------------------------ the wheel

@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2"))
    result = subprocess.run(
        [SYSTEM_PYTHON, "-m", "pip", "wheel", ROOT, "--no-deps", "--no-index", "-w", str(out)],
        capture_output=True, text=True, timeout=1200, env=env)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    wheels = glob.glob(str(out / "*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.mark.slow
def test_wheel_is_abi3_with_module_and_stub(wheel):
    assert os.path.basename(wheel) == "py_engine_native-0.1.0-cp310-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(wheel) as z:
        names = sorted(name for name in z.namelist() if ".dist-info/" not in name)
        metadata = z.read("py_engine_native-0.1.0.dist-info/WHEEL").decode()
    top = [name for name in names if not name.startswith(PACKAGE + "/")]
    assert top == ["py_engine_native-stubs/__init__.pyi", "py_engine_native.abi3.so",
                   "py_engine_native.pyi"]
    # Every module of the package folder, and the reference UI with its one Node dependency.
    modules = sorted(os.path.basename(p) for p in glob.glob(os.path.join(ROOT, PACKAGE, "*.py")))
    packaged = set(names)
    assert {f"{PACKAGE}/{m}" for m in modules + ["py.typed"]} <= packaged
    assert {f"{PACKAGE}/ui/{f}" for f in ("headless.mjs", "src/sim.js", "src/connection.js",
                                          "node_modules/ws/package.json", "index.html")} <= packaged
    assert not [n for n in names if "/test/" in n or "playwright" in n]
    assert "Tag: cp310-abi3-linux_x86_64" in metadata
    assert "Root-Is-Purelib: false" in metadata


@pytest.mark.slow
def test_wheel_installs_into_a_fresh_venv(wheel, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=120)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", wheel],
                   check=True, timeout=300)
    probe = (
        "import os, numpy as np, py_engine_native as pen\n"
        "payload = bytes(pen.encode_vec_f64_py(np.array([1.5, -2.0])))\n"
        "print(pen.__file__)\n"
        "print(pen.decode_vec_f64_py(payload).tolist())\n")
    # From a directory without the checkout or a build on sys.path.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PEN_BUILD_DIR")}
    result = subprocess.run([python, "-c", probe], cwd=elsewhere, capture_output=True,
                            text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    module_file, values = result.stdout.splitlines()
    assert module_file.startswith(str(venv)) and module_file.endswith("py_engine_native.abi3.so")
    assert values == "[1.5, -2.0]"
    site = os.path.dirname(module_file)
    for stub in ("py_engine_native.pyi", os.path.join("py_engine_native-stubs", "__init__.pyi")):
        with open(os.path.join(site, stub)) as installed, open(STUB) as source:
            assert installed.read() == source.read()
    # mypy resolves the installed stub from the venv's site-packages.
    assert_caller_type_checks(elsewhere, "--python-executable", python)
    if shutil.which("node"):
        check_ui_passes_the_shipped_ui(python, os.path.join(site, PACKAGE, "ui"), elsewhere, env)


def check_ui_passes_the_shipped_ui(python, ui, cwd, env):
    """The README's conformance check, run from the installed package on a port of its own
    choosing, against the headless UI that the wheel ships."""
    check = subprocess.Popen([python, "-m", f"{PACKAGE}.check_ui", "--port", "0", "--wait", "30"],
                             cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    ui_process = None
    try:
        listening = check.stderr.readline()
        url = re.search(r"ws://127\.0\.0\.1:\d+/", listening)
        assert url, listening + check.stderr.read()
        ui_process = subprocess.Popen(["node", os.path.join(ui, "headless.mjs"), url[0], "--quiet"],
                                      cwd=cwd, stdout=subprocess.DEVNULL)
        out, err = check.communicate(timeout=120)
    finally:
        check.kill()
        if ui_process:
            ui_process.terminate()
            ui_process.wait(10)
    summary = out.splitlines()[-1] if out else ""
    assert check.returncode == 0 and re.fullmatch(r"\d+ passed, 0 failed", summary), out + err


def readme_training_script():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    section = text.split("## Training with the environments", 1)[1]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("node") is None, reason="needs node (scripts/install-deps.sh node)")
def test_readme_script_trains_8_environments_after_pip_install(wheel, tmp_path):
    script = readme_training_script()
    assert len(script.splitlines()) <= 20
    venv = tmp_path / "venv"
    subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True, timeout=120)
    subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--no-index",
                    "--quiet", wheel], check=True, timeout=300)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "train8.py").write_text(script)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PEN_BUILD_DIR")}
    result = subprocess.run([str(venv / "bin" / "python"), "train8.py"], cwd=elsewhere,
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr
    episodes, q_max = (float(part.split("=")[1]) for part in result.stdout.split())
    assert episodes >= 8 * 7 and q_max > 0

# The module's Python surface: names, order, signatures, docstrings, import behaviour.
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import py_engine_native as pen
from conftest import BUILD_DIR

FUNCTIONS = [
    ("decode_vec_f64_py", "(payload)",
     "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    ("decode_mat_f64_py", "(payload)",
     "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    ("decode_close_step_py", "(payload)",
     "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."),
    ("decode_vec_mat_f64_py", "(payload)", "Decode VecF64 + MatF64 payload into (vec, mat)."),
    ("encode_vec_f64_py", "(arr)", None),
    ("encode_mat_f64_py", "(mat)", None),
    ("encode_close_step_py", "(flags, actions, ratios)", None),
]


def test_all_lists_class_then_functions_in_registration_order():
    assert pen.__all__ == ["NativeEngineAsync"] + [name for name, _, _ in FUNCTIONS]
    for name in pen.__all__:
        assert hasattr(pen, name)


def test_module_doc_and_no_version():
    assert pen.__doc__ == "Bindery module entrypoint."
    assert not hasattr(pen, "__version__")
    assert not hasattr(pen, "PanicException")


def test_failure_classes_are_runtime_errors_outside_all():
    for cls in (pen.RpcTransportError, pen.RpcError):
        assert issubclass(cls, RuntimeError) and cls.__module__ == "py_engine_native"
        assert cls.__name__ not in pen.__all__ and cls.seq is None and cls.fn_id is None


def test_engine_class_identity():
    cls = pen.NativeEngineAsync
    assert cls.__name__ == "NativeEngineAsync"
    assert cls.__qualname__ == "NativeEngineAsync"
    assert cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(host, port, start_seq=None)"
    assert cls.__doc__ == ""
    assert type(cls) is type


ENGINE_METHODS = [
    "start", "wait_connected", "init_candles", "reset_episode", "get_rl_config", "step_next",
    "step_and_sync", "get_snapshot", "get_ticket_list", "get_ohlc", "fetch_events",
    "end_session", "get_sync_policy", "close_positions", "place_order", "place_ticket",
]
LIFECYCLE_METHODS = [("close", "($self)"), ("__aenter__", "($self)"),
                     ("__aexit__", "($self, exc_type, exc_value, traceback)")]


def test_engine_methods_in_table_order_then_the_lifecycle_additions():
    cls = pen.NativeEngineAsync
    methods = [name for name, value in vars(cls).items()
               if isinstance(value, type(cls.start))]
    assert methods == ENGINE_METHODS + [name for name, _ in LIFECYCLE_METHODS]
    for name, signature in LIFECYCLE_METHODS:
        assert getattr(cls, name).__text_signature__ == signature
        assert getattr(cls, name).__doc__
    for name in ("bound_port", "bound_address"):
        prop = vars(cls)[name]
        assert "start()" in prop.__doc__ and "close()" in prop.__doc__
        with pytest.raises(AttributeError):
            prop.__set__(cls("127.0.0.1", 0), 1)


def test_engine_class_is_final():
    with pytest.raises(TypeError):
        type("Sub", (pen.NativeEngineAsync,), {})


@pytest.mark.parametrize("name, signature, doc", FUNCTIONS)
def test_function_signature_doc_and_module(name, signature, doc):
    fn = getattr(pen, name)
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "py_engine_native"
    assert fn.__self__ is pen


def test_reimport_returns_same_module_object():
    first = sys.modules["py_engine_native"]
    assert importlib.reload(first) is first
    del sys.modules["py_engine_native"]
    try:
        again = importlib.import_module("py_engine_native")
        assert again is first
        assert again.NativeEngineAsync is first.NativeEngineAsync
    finally:
        sys.modules["py_engine_native"] = first


def _run_python(code):
    env = dict(os.environ, PEN_BUILD_DIR=BUILD_DIR, PYTHONPATH=BUILD_DIR)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("import_in_main_first", [False, True])
def test_subinterpreter_import_is_refused(import_in_main_first):
    pytest.importorskip("_xxsubinterpreters")
    result = _run_python(f"""
        import _xxsubinterpreters as interpreters
        if {import_in_main_first}:
            import py_engine_native
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import py_engine_native")
        except interpreters.RunFailedError as exc:
            print("REFUSED", exc)
        else:
            print("IMPORTED")
    """)
    assert result.returncode == 0, result.stderr
    assert "REFUSED" in result.stdout
    assert "ImportError" in result.stdout
    assert "subinterpreters" in result.stdout

# Argument binding: CPython's wording for missing, surplus, unknown and duplicate arguments,
# and None as an omitted optional argument.
import numpy as np
import pytest

import py_engine_native as pen

NEW = "NativeEngineAsync.__new__()"
F64 = np.zeros(1)
I32 = np.zeros(1, dtype=np.int32)


@pytest.mark.parametrize("call, message", [
    (lambda: pen.NativeEngineAsync(),
     f"{NEW} missing 2 required positional arguments: 'host' and 'port'"),
    (lambda: pen.NativeEngineAsync("h"),
     f"{NEW} missing 1 required positional argument: 'port'"),
    (lambda: pen.NativeEngineAsync(port=1, start_seq=2),
     f"{NEW} missing 1 required positional argument: 'host'"),
    (lambda: pen.NativeEngineAsync("h", 1, 2, 3),
     f"{NEW} takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: pen.NativeEngineAsync("h", 1, bogus=1),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    (lambda: pen.NativeEngineAsync("h", 1, host="x"),
     f"{NEW} got multiple values for argument 'host'"),
    (lambda: pen.NativeEngineAsync("h", 1, 2, start_seq=3),
     f"{NEW} got multiple values for argument 'start_seq'"),
    (lambda: pen.NativeEngineAsync("h", 1, **{1: 2}), "keywords must be strings"),
    (lambda: pen.decode_vec_f64_py(),
     "decode_vec_f64_py() missing 1 required positional argument: 'payload'"),
    (lambda: pen.decode_mat_f64_py(b"", b""),
     "decode_mat_f64_py() takes 1 positional argument but 2 were given"),
    (lambda: pen.decode_close_step_py(data=b""),
     "decode_close_step_py() got an unexpected keyword argument 'data'"),
    (lambda: pen.decode_vec_mat_f64_py(b"", payload=b""),
     "decode_vec_mat_f64_py() got multiple values for argument 'payload'"),
    (lambda: pen.encode_close_step_py(),
     "encode_close_step_py() missing 3 required positional arguments: "
     "'flags', 'actions', and 'ratios'"),
    (lambda: pen.encode_close_step_py(I32, ratios=F64),
     "encode_close_step_py() missing 1 required positional argument: 'actions'"),
    (lambda: pen.encode_close_step_py(I32, I32, F64, F64),
     "encode_close_step_py() takes 3 positional arguments but 4 were given"),
    (lambda: pen.encode_vec_f64_py(F64, F64),
     "encode_vec_f64_py() takes 1 positional argument but 2 were given"),
    (lambda: pen.encode_mat_f64_py(matrix=F64),
     "encode_mat_f64_py() got an unexpected keyword argument 'matrix'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binding_errors_come_before_conversion():
    # Surplus arguments are reported even though the first argument cannot be converted.
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        pen.decode_vec_f64_py(123, 456)
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'x'"):
        pen.NativeEngineAsync(5, 80, x=1)


@pytest.mark.parametrize("call", [
    lambda: pen.NativeEngineAsync("h", 1, None),
    lambda: pen.NativeEngineAsync("h", 1, start_seq=None),
    lambda: pen.NativeEngineAsync(start_seq=None, port=1, host="h"),
])
def test_none_for_an_optional_parameter_means_omitted(call):
    assert isinstance(call(), pen.NativeEngineAsync)


def test_keyword_arguments_reach_module_functions():
    assert pen.decode_vec_f64_py(payload=b"\0\0\0\0").shape == (0,)
    assert pen.encode_close_step_py(ratios=F64, actions=I32, flags=I32)[:4] == [1, 0, 0, 0]

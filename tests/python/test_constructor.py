# NativeEngineAsync(host, port, start_seq=None): accepted values and every refusal.
import pytest

from py_engine_native import NativeEngineAsync

OUT_OF_RANGE = "out of range integral type conversion attempted"
PY_OVERFLOW = "Python int too large to convert to C long"


class Index:
    """An object with an integer value but not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrSubclass(str):
    pass


@pytest.mark.parametrize("args, kwargs", [
    (("127.0.0.1", 8765), {}),
    (("127.0.0.1", 8765, None), {}),
    (("127.0.0.1",), {"port": 8765, "start_seq": None}),
    ((), {"start_seq": 7, "port": 0, "host": "localhost"}),
    (("::1", 65535, 0), {}),
    (("", 0, 4294967295), {}),
    ((StrSubclass("h\u00e9te"), Index(80), Index(3)), {}),
    (("h", True, False), {}),
])
def test_accepted(args, kwargs):
    engine = NativeEngineAsync(*args, **kwargs)
    assert type(engine) is NativeEngineAsync


@pytest.mark.parametrize("args, exc_type, message", [
    ((5, 80), TypeError, "argument 'host': 'int' object cannot be converted to 'PyString'"),
    ((b"h", 80), TypeError, "argument 'host': 'bytes' object cannot be converted to 'PyString'"),
    ((None, 80), TypeError,
     "argument 'host': 'NoneType' object cannot be converted to 'PyString'"),
    (("h", "80"), TypeError, "argument 'port': 'str' object cannot be interpreted as an integer"),
    (("h", 80.0), TypeError,
     "argument 'port': 'float' object cannot be interpreted as an integer"),
    (("h", None), TypeError,
     "argument 'port': 'NoneType' object cannot be interpreted as an integer"),
    (("h", 65536), OverflowError, OUT_OF_RANGE),
    (("h", -1), OverflowError, OUT_OF_RANGE),
    (("h", Index(70000)), OverflowError, OUT_OF_RANGE),
    (("h", 2**63), OverflowError, PY_OVERFLOW),
    (("h", -2**63 - 1), OverflowError, PY_OVERFLOW),
    (("h", 80, -1), OverflowError, OUT_OF_RANGE),
    (("h", 80, 2**32), OverflowError, OUT_OF_RANGE),
    (("h", 80, 2**63 - 1), OverflowError, OUT_OF_RANGE),
    (("h", 80, 2**64), OverflowError, PY_OVERFLOW),
    (("h", 80, "1"), TypeError,
     "argument 'start_seq': 'str' object cannot be interpreted as an integer"),
    (("h", 80, 1.0), TypeError,
     "argument 'start_seq': 'float' object cannot be interpreted as an integer"),
    (("h", Index("x")), TypeError, "argument 'port': __index__ returned non-int (type str)"),
])
def test_refused(args, exc_type, message):
    with pytest.raises(exc_type) as info:
        NativeEngineAsync(*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_lone_surrogate_host_raises_the_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as info:
        NativeEngineAsync("a\ud800", 80)
    assert "surrogates not allowed" in str(info.value)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("args, prefix", [
    ((5, -1, -1), "argument 'host'"),   # host is converted first
    (("h", "x", -1), "argument 'port'"),  # then port, before start_seq
    (("h", 80, "x"), "argument 'start_seq'"),
])
def test_conversion_order(args, prefix):
    with pytest.raises(TypeError, match=prefix):
        NativeEngineAsync(*args)


def test_type_error_from_index_is_prefixed_and_keeps_its_cause():
    class Raising:
        def __index__(self):
            raise TypeError("boom") from KeyError("root")

    with pytest.raises(TypeError) as info:
        NativeEngineAsync("h", Raising())
    assert str(info.value) == "argument 'port': boom"
    assert isinstance(info.value.__cause__, KeyError)


def test_type_error_subclass_from_index_propagates_unchanged():
    class MyTypeError(TypeError):
        pass

    class Raising:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError) as info:
        NativeEngineAsync("h", Raising())
    assert str(info.value) == "mine"

# The seven codec functions: payload decoding into new arrays, array encoding into a list of
# byte values, and the exact errors of each refusal.
import struct

import numpy as np
import pytest

import py_engine_native as pen


def vec_payload(values):
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat_payload(rows, cols, values=()):
    return struct.pack(f"<II{len(values)}d", rows, cols, *values)


def close_step_payload(flags, actions, ratios):
    n = len(flags)
    return struct.pack(f"<I{n}i{n}i{n}d", n, *flags, *actions, *ratios)


def bits(array):
    return np.ascontiguousarray(array).view(np.uint64).tolist()


# Doubles whose bit patterns must survive: a quiet NaN with a payload, a signalling-style NaN,
# negative zero, both infinities and the smallest subnormal.
SPECIAL = np.array([0x7FF8000000000123, 0xFFF0000000000001, 0x8000000000000000,
                    0x7FF0000000000000, 0xFFF0000000000000, 1], dtype=np.uint64).view(np.float64)


class BytesSubclass(bytes):
    pass


class ArraySubclass(np.ndarray):
    pass


# ---------------------------------------------------------------- decoders

def assert_new_owning_array(array, dtype, shape):
    assert type(array) is np.ndarray
    assert array.dtype == dtype and array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata
    assert array.base is None


@pytest.mark.parametrize("payload, values, shape", [
    (b"\0\0\0\0", [], (0,)),
    (vec_payload([1.0]), [1.0], (1,)),
    (vec_payload([1.5, -2.0, 3e300]), [1.5, -2.0, 3e300], (3,)),
])
def test_decode_vec(payload, values, shape):
    array = pen.decode_vec_f64_py(payload)
    assert_new_owning_array(array, np.float64, shape)
    assert array.tolist() == values


@pytest.mark.parametrize("payload, shape, values", [
    (mat_payload(2, 3, [1, 2, 3, 4, 5, 6]), (2, 3), [[1, 2, 3], [4, 5, 6]]),
    (mat_payload(0, 3), (0, 0), []),
    (mat_payload(0, 0), (0, 0), []),
    (mat_payload(2, 0), (2, 0), [[], []]),
    (mat_payload(1, 1, [7.5]), (1, 1), [[7.5]]),
])
def test_decode_mat(payload, shape, values):
    array = pen.decode_mat_f64_py(payload)
    assert_new_owning_array(array, np.float64, shape)
    assert array.tolist() == values


@pytest.mark.parametrize("payload, vec, mat_shape, mat", [
    (vec_payload([2.5]) + mat_payload(2, 1, [3.0, 4.0]), [2.5], (2, 1), [[3.0], [4.0]]),
    (vec_payload([2.5]) + mat_payload(0, 0), [2.5], (0, 0), []),
    (vec_payload([]) + mat_payload(1, 2, [1.0, 2.0]), [], (1, 2), [[1.0, 2.0]]),
    (vec_payload([1.0]) + mat_payload(3, 0), [1.0], (3, 0), [[], [], []]),
])
def test_decode_vec_mat(payload, vec, mat_shape, mat):
    result = pen.decode_vec_mat_f64_py(payload)
    assert type(result) is tuple and len(result) == 2
    assert_new_owning_array(result[0], np.float64, (len(vec),))
    assert_new_owning_array(result[1], np.float64, mat_shape)
    assert result[0].tolist() == vec and result[1].tolist() == mat


def test_decode_close_step():
    payload = close_step_payload([1, -2], [-2147483648, 2147483647], [0.25, -1.0])
    assert len(payload) == 36
    flags, actions, ratios = result = pen.decode_close_step_py(payload)
    assert type(result) is tuple
    assert_new_owning_array(flags, np.int32, (2,))
    assert_new_owning_array(actions, np.int32, (2,))
    assert_new_owning_array(ratios, np.float64, (2,))
    assert flags.tolist() == [1, -2]
    assert actions.tolist() == [-2147483648, 2147483647]
    assert ratios.tolist() == [0.25, -1.0]


def test_decode_close_step_empty():
    flags, actions, ratios = pen.decode_close_step_py(b"\0\0\0\0")
    assert flags.shape == actions.shape == ratios.shape == (0,)


HUGE = 0xFFFFFFFF


@pytest.mark.parametrize("fn, payload, message", [
    (pen.decode_vec_f64_py, b"", "VecF64 payload too short"),
    (pen.decode_vec_f64_py, b"\0\0\0", "VecF64 payload too short"),
    (pen.decode_vec_f64_py, vec_payload([1.0]) + b"\0",
     "VecF64 length mismatch: expected 12, got 13"),
    (pen.decode_vec_f64_py, struct.pack("<I", 2) + b"\0" * 8,
     "VecF64 length mismatch: expected 20, got 12"),
    (pen.decode_mat_f64_py, b"\0" * 7, "MatF64 payload too short"),
    (pen.decode_mat_f64_py, mat_payload(2, 3, [0.0] * 4),
     "MatF64 length mismatch: expected 56, got 40"),
    (pen.decode_mat_f64_py, mat_payload(2, 0) + b"\0",
     "MatF64 length mismatch: expected 8, got 9"),
    (pen.decode_vec_mat_f64_py, b"\0\0\0", "VecMatF64 payload too short"),
    (pen.decode_vec_mat_f64_py, vec_payload([1.0]), "VecMatF64 missing matrix header"),
    (pen.decode_vec_mat_f64_py, vec_payload([1.0]) + b"\0" * 7,
     "VecMatF64 missing matrix header"),
    (pen.decode_vec_mat_f64_py, vec_payload([1.0]) + mat_payload(1, 1),
     "VecMatF64 length mismatch: expected 28, got 20"),
    (pen.decode_close_step_py, b"\0\0\0", "CloseStep payload too short"),
    (pen.decode_close_step_py, struct.pack("<I", 1) + b"\0" * 15,
     "CloseStep length mismatch: expected 20, got 19"),
])
def test_decode_refuses_malformed_payload(fn, payload, message):
    with pytest.raises(ValueError) as info:
        fn(payload)
    assert type(info.value) is ValueError
    assert str(info.value) == message


def test_decode_header_claiming_more_than_memory_fails_on_length():
    with pytest.raises(ValueError, match=r"^MatF64 length mismatch: expected .*, got 8$"):
        pen.decode_mat_f64_py(mat_payload(HUGE, HUGE))


DECODERS = [pen.decode_vec_f64_py, pen.decode_mat_f64_py, pen.decode_vec_mat_f64_py,
            pen.decode_close_step_py]


@pytest.mark.parametrize("fn", DECODERS)
@pytest.mark.parametrize("payload, type_name", [
    (bytearray(b"\0" * 4), "bytearray"),
    (memoryview(b"\0" * 4), "memoryview"),
    ([0, 0, 0, 0], "list"),
    ("\0\0\0\0", "str"),
    (None, "NoneType"),
])
def test_decoders_accept_only_bytes(fn, payload, type_name):
    with pytest.raises(TypeError) as info:
        fn(payload)
    assert str(info.value) == \
        f"argument 'payload': '{type_name}' object cannot be converted to 'PyBytes'"


def test_decoders_accept_bytes_subclass():
    assert pen.decode_vec_f64_py(BytesSubclass(vec_payload([4.0]))).tolist() == [4.0]


def test_encoded_list_must_become_bytes_before_decoding():
    encoded = pen.encode_vec_f64_py(np.array([1.0]))
    with pytest.raises(TypeError, match=r"'list' object cannot be converted to 'PyBytes'"):
        pen.decode_vec_f64_py(encoded)
    assert pen.decode_vec_f64_py(bytes(encoded)).tolist() == [1.0]


# ---------------------------------------------------------------- encoders

def test_encode_vec_known_bytes():
    result = pen.encode_vec_f64_py(np.array([1.0]))
    assert type(result) is list and all(type(b) is int for b in result)
    assert result == [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 240, 63]
    assert pen.encode_vec_f64_py(np.array([], dtype=np.float64)) == [0, 0, 0, 0]


def test_encode_close_step_layout():
    flags = np.array([1, -1], dtype=np.int32)
    actions = np.array([7, 8], dtype=np.intc)
    ratios = np.array([0.5, 2.0])
    encoded = bytes(pen.encode_close_step_py(flags, actions, ratios))
    assert encoded == close_step_payload([1, -1], [7, 8], [0.5, 2.0])
    assert encoded[4:12] == struct.pack("<2i", 1, -1)
    assert encoded[12:20] == struct.pack("<2i", 7, 8)
    assert encoded[20:36] == struct.pack("<2d", 0.5, 2.0)


@pytest.mark.parametrize("array", [
    np.arange(12.0).reshape(3, 4),
    np.asfortranarray(np.arange(12.0).reshape(3, 4)),
    np.arange(12.0).reshape(4, 3).T,   # Fortran-contiguous view
    np.zeros((1, 5)),
    np.zeros((5, 1), order="F"),
])
def test_encode_mat_writes_row_major_whatever_the_memory_order(array):
    encoded = bytes(pen.encode_mat_f64_py(array))
    assert encoded == mat_payload(*array.shape, array.ravel(order="C").tolist())
    assert np.array_equal(pen.decode_mat_f64_py(encoded), array)


@pytest.mark.parametrize("shape, header, decoded_shape", [
    ((3, 0), (3, 0), (3, 0)),
    ((0, 3), (0, 3), (0, 0)),
    ((0, 0), (0, 0), (0, 0)),
])
def test_encode_mat_empty(shape, header, decoded_shape):
    encoded = bytes(pen.encode_mat_f64_py(np.zeros(shape)))
    assert encoded == struct.pack("<II", *header)
    assert pen.decode_mat_f64_py(encoded).shape == decoded_shape


def test_round_trips_are_bit_exact():
    vec = pen.decode_vec_f64_py(bytes(pen.encode_vec_f64_py(SPECIAL)))
    assert bits(vec) == bits(SPECIAL)
    mat = SPECIAL.reshape(2, 3)
    assert bits(pen.decode_mat_f64_py(bytes(pen.encode_mat_f64_py(mat)))) == bits(mat)
    fortran = np.asfortranarray(mat)
    assert bits(pen.decode_mat_f64_py(bytes(pen.encode_mat_f64_py(fortran)))) == bits(mat)
    n = SPECIAL.size
    flags = np.arange(-3, n - 3, dtype=np.int32)
    actions = np.full(n, -2**31, dtype=np.int32)
    out_flags, out_actions, out_ratios = pen.decode_close_step_py(
        bytes(pen.encode_close_step_py(flags, actions, SPECIAL)))
    assert out_flags.tolist() == flags.tolist()
    assert out_actions.tolist() == actions.tolist()
    assert bits(out_ratios) == bits(SPECIAL)


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("call", [
    lambda: pen.encode_vec_f64_py(read_only(np.array([1.0, 2.0]))),
    lambda: pen.encode_vec_f64_py(np.arange(4.0)[::2][:1]),       # strided, length 1
    lambda: pen.encode_vec_f64_py(np.arange(4.0)[::2][:0]),       # strided, length 0
    lambda: pen.encode_vec_f64_py(np.arange(3.0).view(ArraySubclass)),
    lambda: pen.encode_vec_f64_py(np.array([1.0], dtype="<f8")),
    lambda: pen.encode_mat_f64_py(read_only(np.eye(2))),
    lambda: pen.encode_close_step_py(read_only(np.zeros(2, np.int32)),
                                     np.zeros(2, np.int32), read_only(np.zeros(2))),
])
def test_encoders_accept(call):
    assert type(call()) is list


def test_encode_vec_of_strided_singleton_reads_the_right_element():
    assert bytes(pen.encode_vec_f64_py(np.arange(4.0)[2::2])) == vec_payload([2.0])


I32 = np.zeros(2, dtype=np.int32)
F64 = np.zeros(2)


@pytest.mark.parametrize("call, message", [
    (lambda: pen.encode_vec_f64_py(np.array([1, 2], dtype=np.int64)),
     "argument 'arr': type mismatch:\n from=int64, to=float64"),
    (lambda: pen.encode_vec_f64_py(np.zeros(2, dtype=np.float32)),
     "argument 'arr': type mismatch:\n from=float32, to=float64"),
    (lambda: pen.encode_vec_f64_py(np.zeros(2, dtype=">f8")),
     "argument 'arr': type mismatch:\n from=>f8, to=float64"),
    (lambda: pen.encode_vec_f64_py(np.zeros((2, 2))),
     "argument 'arr': dimensionality mismatch:\n from=2, to=1"),
    (lambda: pen.encode_vec_f64_py(np.float64(1.0)),
     "argument 'arr': 'float64' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: pen.encode_vec_f64_py(np.array(1.0)),
     "argument 'arr': dimensionality mismatch:\n from=0, to=1"),
    (lambda: pen.encode_vec_f64_py([1.0]),
     "argument 'arr': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: pen.encode_mat_f64_py(np.zeros(3)),
     "argument 'mat': dimensionality mismatch:\n from=1, to=2"),
    (lambda: pen.encode_mat_f64_py(np.zeros((2, 2), dtype=np.int32)),
     "argument 'mat': type mismatch:\n from=int32, to=float64"),
    (lambda: pen.encode_close_step_py(np.zeros(2, np.int64), "not even an array", F64),
     "argument 'flags': type mismatch:\n from=int64, to=int32"),
    (lambda: pen.encode_close_step_py(I32, np.zeros(2), F64),
     "argument 'actions': type mismatch:\n from=float64, to=int32"),
    (lambda: pen.encode_close_step_py(I32, I32, I32),
     "argument 'ratios': type mismatch:\n from=int32, to=float64"),
    (lambda: pen.encode_close_step_py(I32, I32, (0.0, 0.0)),
     "argument 'ratios': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    # Element types of every array are checked before the contiguity of any.
    (lambda: pen.encode_close_step_py(np.zeros(4, np.int32)[::2], I32, I32),
     "argument 'ratios': type mismatch:\n from=int32, to=float64"),
    (lambda: pen.encode_vec_f64_py(np.arange(4.0)[::2]), "The given array is not contiguous"),
    (lambda: pen.encode_mat_f64_py(np.zeros((3, 4))[:, ::2]),
     "The given array is not contiguous"),
    (lambda: pen.encode_close_step_py(I32, np.zeros(4, np.int32)[::2], np.zeros(4)[::2]),
     "The given array is not contiguous"),
])
def test_encoders_refuse_with_type_error(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("lengths", [(1, 2, 1), (2, 2, 3), (0, 0, 1)])
def test_encode_close_step_shape_mismatch(lengths):
    flags, actions, ratios = (np.zeros(lengths[0], np.int32), np.zeros(lengths[1], np.int32),
                              np.zeros(lengths[2]))
    with pytest.raises(ValueError) as info:
        pen.encode_close_step_py(flags, actions, ratios)
    assert str(info.value) == "close_step shape mismatch: flags={}, actions={}, ratios={}".format(
        *lengths)

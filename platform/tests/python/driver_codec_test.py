"""The Python driver's codec against the stand-in library's codec, loaded through ctypes.

Both directions: values built with the library's value functions encode to the same bytes as
the driver's encoder produces for the same Python value, and the library decodes the driver's
bytes into values that encode back to those very bytes."""

import ctypes
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "driver"))
import wrenpad_driver as wd  # noqa: E402

lib = ctypes.CDLL(os.environ["WD_STANDIN_LIB"])
glib = ctypes.CDLL("libglib-2.0.so.0")

P = ctypes.c_void_p
for name, restype, argtypes in [
    ("fl_value_new_null", P, []),
    ("fl_value_new_bool", P, [ctypes.c_bool]),
    ("fl_value_new_int", P, [ctypes.c_int64]),
    ("fl_value_new_float", P, [ctypes.c_double]),
    ("fl_value_new_string", P, [ctypes.c_char_p]),
    ("fl_value_new_uint8_list", P, [ctypes.c_char_p, ctypes.c_size_t]),
    ("fl_value_new_int32_list", P, [P, ctypes.c_size_t]),
    ("fl_value_new_int64_list", P, [P, ctypes.c_size_t]),
    ("fl_value_new_float32_list", P, [P, ctypes.c_size_t]),
    ("fl_value_new_float_list", P, [P, ctypes.c_size_t]),
    ("fl_value_new_list", P, []),
    ("fl_value_new_map", P, []),
    ("fl_value_append_take", None, [P, P]),
    ("fl_value_set_take", None, [P, P, P]),
    ("fl_value_unref", None, [P]),
    ("standin_decode_method_call", ctypes.c_int, [P, ctypes.POINTER(P), ctypes.POINTER(P), P]),
    ("standin_encode_method_call", P, [ctypes.c_char_p, P]),
    ("fl_standard_message_codec_new", P, []),
    ("fl_message_codec_encode_message", P, [P, P, P]),
    ("fl_message_codec_decode_message", P, [P, P, P]),
]:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes
glib.g_bytes_new.restype = P
glib.g_bytes_new.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
glib.g_bytes_get_data.restype = P
glib.g_bytes_get_data.argtypes = [P, ctypes.POINTER(ctypes.c_size_t)]
glib.g_bytes_unref.argtypes = [P]
glib.g_free.argtypes = [P]

codec = lib.fl_standard_message_codec_new()


def c_value(value):
    """Builds the library's value for a Python value of the driver's vocabulary."""
    if value is None:
        return lib.fl_value_new_null()
    if isinstance(value, bool):
        return lib.fl_value_new_bool(value)
    if isinstance(value, int):
        return lib.fl_value_new_int(value)
    if isinstance(value, float):
        return lib.fl_value_new_float(value)
    if isinstance(value, str):
        return lib.fl_value_new_string(value.encode("utf-8"))
    if isinstance(value, bytes):
        return lib.fl_value_new_uint8_list(value, len(value))
    typed = [(wd.Int32List, ctypes.c_int32, lib.fl_value_new_int32_list),
             (wd.Int64List, ctypes.c_int64, lib.fl_value_new_int64_list),
             (wd.Float32List, ctypes.c_float, lib.fl_value_new_float32_list),
             (wd.Float64List, ctypes.c_double, lib.fl_value_new_float_list)]
    for kind, ctype, make in typed:
        if isinstance(value, kind):
            array = (ctype * len(value))(*value)
            return make(ctypes.cast(array, P), len(value))
    if isinstance(value, dict):
        result = lib.fl_value_new_map()
        for key, item in value.items():
            lib.fl_value_set_take(result, c_value(key), c_value(item))
        return result
    result = lib.fl_value_new_list()
    for item in value:
        lib.fl_value_append_take(result, c_value(item))
    return result


def bytes_of(gbytes):
    size = ctypes.c_size_t()
    data = glib.g_bytes_get_data(gbytes, ctypes.byref(size))
    return ctypes.string_at(data, size.value) if size.value else b""


def c_encode(value):
    v = c_value(value)
    gbytes = lib.fl_message_codec_encode_message(codec, v, None)
    lib.fl_value_unref(v)
    result = bytes_of(gbytes)
    glib.g_bytes_unref(gbytes)
    return result


def c_reencode(data):
    """Decodes with the library and encodes the result again; None if decoding fails."""
    gbytes = glib.g_bytes_new(data, len(data))
    value = lib.fl_message_codec_decode_message(codec, gbytes, None)
    glib.g_bytes_unref(gbytes)
    if not value:
        return None
    out = lib.fl_message_codec_encode_message(codec, value, None)
    lib.fl_value_unref(value)
    result = bytes_of(out)
    glib.g_bytes_unref(out)
    return result


VALUES = [
    None, True, False, 0, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, -(2**63),
    0.0, -2.5, 1e300, "", "Saving notes", "\u00e9\u4e2d", "x" * 253, "y" * 254,
    "z" * 65535, "w" * 65536, b"", b"\x00\xff" * 200,
    wd.Int32List([1, -2, 2**31 - 1]), wd.Int64List([]), wd.Int64List([2**40]),
    wd.Float32List([1.5, -0.25]), wd.Float64List([0.1, 1e-300]),
    [], [True, 1.0], [1, [2, [3.5, wd.Float64List([4.0])]], "s"],
    {"width": 800.0, "height": 600.0}, {1: None, "k": {"nested": wd.Int32List([7])}},
    [None] * 300,
]


@pytest.mark.parametrize("value", VALUES, ids=lambda v: repr(v)[:40])
def test_both_codecs_write_the_same_bytes(value):
    assert wd.encode_value(value) == c_encode(value)


@pytest.mark.parametrize("value", VALUES, ids=lambda v: repr(v)[:40])
def test_the_library_reads_what_the_driver_writes(value):
    data = wd.encode_value(value)
    assert c_reencode(data) == data
    assert wd.encode_value(wd.decode_value(data)) == data


def test_method_calls_align_from_the_start_of_the_call():
    args = [2.0, wd.Float32List([1.0]), wd.Int64List([5])]
    for length in range(1, 9):
        name = "m" * length
        data = wd.encode_method_call(name, args)
        gbytes = glib.g_bytes_new(data, len(data))
        c_name, c_args = P(), P()
        assert lib.standin_decode_method_call(gbytes, ctypes.byref(c_name), ctypes.byref(c_args),
                                              None)
        glib.g_bytes_unref(gbytes)
        assert ctypes.string_at(c_name.value) == name.encode()
        again = lib.standin_encode_method_call(name.encode(), c_args)
        assert bytes_of(again) == data
        glib.g_bytes_unref(again)
        lib.fl_value_unref(c_args)
        glib.g_free(c_name)
        assert wd.decode_method_call(data) == (name, args)


def test_malformed_bytes_fail_in_both_codecs():
    for bad in [b"", b"\x03\x01", b"\x07\x05a", b"\x0c\x05\x00", b"\x05", b"\x00\x00",
                b"\x07\xff\xff\xff\xff\xff"]:
        assert c_reencode(bad) is None
        with pytest.raises(wd.CodecError):
            wd.decode_value(bad)


def test_reply_envelopes():
    assert wd.encode_success(None) == b"\x00\x00"
    assert wd.encode_error("bad-arguments", "Expected a map") == (
        b"\x01\x07\x0dbad-arguments\x07\x0eExpected a map\x00")
    reply = wd.decode_reply(wd.encode_error("unavailable", None, None))
    assert (reply.code, reply.message, reply.details) == ("unavailable", None, None)
    assert isinstance(wd.decode_reply(b""), wd.NotImplementedReply)
    assert wd.decode_reply(b"\x00\x07\x02DE").result == "DE"

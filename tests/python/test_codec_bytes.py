"""Exact bytes of dumps, exact results and messages of loads, and the errors of both."""

import enum
import math
import struct
from functools import reduce

import pytest

from tallowmere._core import dumps, loads

DEPTH_MESSAGE = ("value nests deeper than 128 levels (or is self-referential); the tallowmere msgpack codec "
                 "rejects it to protect the native stack")
RANGE_MESSAGE = "integer out of 64-bit range is not supported by the tallowmere codec"
TYPE_MESSAGE = ("unsupported value type for the tallowmere msgpack codec "
                "(supported: None, bool, int, float, str, bytes, list, tuple, dict)")
END_MESSAGE = "msgpack decode error: unexpected end of input"
EXT_MESSAGE = "msgpack extension types are not supported by the tallowmere codec"
RESERVED_MESSAGE = "msgpack decode error: reserved marker 0xc1"


def nested_list(levels, inner=0):
    return reduce(lambda value, _: [value], range(levels), inner)


def self_referential(container):
    container[0 if isinstance(container, list) else "self"] = container
    return container


@pytest.mark.parametrize("value,encoded", [
    # every integer width boundary, both signs
    (0, "00"), (127, "7f"), (128, "cc80"), (255, "ccff"), (256, "cd0100"), (65535, "cdffff"),
    (65536, "ce00010000"), (2**32 - 1, "ceffffffff"), (2**32, "cf0000000100000000"),
    (2**63 - 1, "cf7fffffffffffffff"), (2**63, "cf8000000000000000"), (2**64 - 1, "cfffffffffffffffff"),
    (-1, "ff"), (-32, "e0"), (-33, "d0df"), (-128, "d080"), (-129, "d1ff7f"), (-32768, "d18000"),
    (-32769, "d2ffff7fff"), (-(2**31), "d280000000"), (-(2**31) - 1, "d3ffffffff7fffffff"),
    (-(2**63), "d38000000000000000"),
    # the other scalars and small containers
    (None, "c0"), (True, "c3"), (False, "c2"), (1.0, "cb3ff0000000000000"), (-0.0, "cb8000000000000000"),
    (math.inf, "cb7ff0000000000000"), (-math.inf, "cbfff0000000000000"), ("é", "a2c3a9"), ([], "90"), ({}, "80"),
    ({1: "a"}, "8101a161"), ([1, [2, [3]]], "920192029103"),
    ({None: True, 1.5: b"", "k": []}, "83c0c3cb3ff8000000000000c400a16b90"),
])
def test_exact_encodings_that_decode_back(value, encoded):
    assert dumps(value) == bytes.fromhex(encoded)
    result = loads(bytes.fromhex(encoded))
    assert result == value and type(result) is type(value)


@pytest.mark.parametrize("value,encoded", [((), "90"), ([1, (2, [3])], "920192029103"), ({(1, 2): "a"}, "81920102a161")])
def test_tuples_encode_as_arrays_even_as_keys(value, encoded):
    assert dumps(value) == bytes.fromhex(encoded)


@pytest.mark.parametrize("value,prefix", [
    ("", "a0"), ("x" * 31, "bf"), ("x" * 32, "d920"), ("x" * 255, "d9ff"), ("x" * 256, "da0100"),
    ("x" * 65535, "daffff"), ("x" * 65536, "db00010000"),
    (b"", "c400"), (b"x" * 255, "c4ff"), (b"x" * 256, "c50100"), (b"x" * 65535, "c5ffff"),
    (b"x" * 65536, "c600010000"),
    ([0] * 15, "9f"), ([0] * 16, "dc0010"), ([0] * 65535, "dcffff"), ([0] * 65536, "dd00010000"),
    ({i: 0 for i in range(15)}, "8f"), ({i: 0 for i in range(16)}, "de0010"),
    ({i: 0 for i in range(65536)}, "df00010000"),
])
def test_length_boundaries(value, prefix):
    encoded = dumps(value)
    assert encoded.startswith(bytes.fromhex(prefix))
    assert loads(encoded) == value


def test_nan_keeps_its_bits():
    quiet = dumps(math.nan)
    assert quiet[0] == 0xCB and math.isnan(struct.unpack(">d", quiet[1:])[0]) and math.isnan(loads(quiet))
    assert math.isnan(loads(b"\xca\x7f\xc0\x00\x00"))  # a single-precision NaN widens to one
    payload = struct.unpack(">d", bytes.fromhex("7ff0000000000123"))[0]
    assert dumps(payload) == bytes.fromhex("cb7ff0000000000123")


@pytest.mark.parametrize("base,value,plain", [
    (int, enum.IntEnum("Color", {"RED": 300}).RED, 300), (str, "hi", "hi"), (float, 2.5, 2.5), (bytes, b"ab", b"ab"),
    (list, [1, 2], [1, 2]), (dict, {"a": 1}, {"a": 1}), (tuple, (1, 2), [1, 2]),
])
def test_subclass_instances_encode_as_their_base_type(base, value, plain):
    if base is not int:
        value = type("Sub", (base,), {})(value)
    assert dumps(value) == dumps(plain)
    assert type(loads(dumps(value))) is type(plain)


@pytest.mark.parametrize("value,error,message", [
    (2**64, ValueError, RANGE_MESSAGE), (-(2**63) - 1, ValueError, RANGE_MESSAGE),
    (10**30, ValueError, RANGE_MESSAGE), (-(10**30), ValueError, RANGE_MESSAGE),
    ({1, 2}, TypeError, TYPE_MESSAGE), (bytearray(b"x"), TypeError, TYPE_MESSAGE),
    (memoryview(b"x"), TypeError, TYPE_MESSAGE), (object(), TypeError, TYPE_MESSAGE), (1j, TypeError, TYPE_MESSAGE),
    ([1, {2: frozenset()}], TypeError, TYPE_MESSAGE),
    ("\ud800", UnicodeEncodeError, None), ({"ok": ["\udfff"]}, UnicodeEncodeError, None),
    (nested_list(129), ValueError, DEPTH_MESSAGE),
    (nested_list(129, object()), ValueError, DEPTH_MESSAGE),  # depth is checked before the type
    (nested_list(128, {"k": 1}), ValueError, DEPTH_MESSAGE),  # keys and values sit a level below their dict
    (self_referential([None]), ValueError, DEPTH_MESSAGE), (self_referential({}), ValueError, DEPTH_MESSAGE),
])
def test_encode_failures(value, error, message):
    with pytest.raises(error) as info:
        dumps(value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
        assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("data,value", [
    (b"\xca\x3f\xc0\x00\x00", 1.5), (b"\xd3\x00\x00\x00\x00\x00\x00\x00\x05", 5), (b"\xd0\x05", 5),
    (b"\xcd\x00\x01", 1), (b"\xcf" + b"\xff" * 8, 2**64 - 1), (b"\xd0\x80", -128),
    (b"\xa2\xff\xfe", b"\xff\xfe"), (b"\xd9\x02\xc3\x28", b"\xc3\x28"),  # invalid UTF-8 comes back as bytes
    (b"\x82\x01\x02\x01\x03", {1: 3}), (b"\x81\xa2\xff\xfe\x01", {b"\xff\xfe": 1}),
    (b"\x83\xa1a\x01\xa1b\x02\xa1a\x03", {"a": 3, "b": 2}),  # a duplicate keeps first place, last value
    (b"\xdc\x00\x01\xc0", [None]), (b"\xde\x00\x01\xc2\xc3", {False: True}), (b"\xdf\x00\x00\x00\x00", {}),
    (b"\xdd\x00\x00\x00\x00", []), (b"\xc6\x00\x00\x00\x01z", b"z"), (b"\xdb\x00\x00\x00\x01z", "z"),
    (b"\x01\x02", 1), (dumps(1) + b"xyz", 1),
])
def test_decoding_accepts_every_standard_form(data, value):
    result = loads(data)
    assert result == value and type(result) is type(value)
    if isinstance(value, dict):
        assert list(result.items()) == list(value.items())


@pytest.mark.parametrize("data,error,message", [
    (b"", ValueError, END_MESSAGE), (b"\xcd\x01", ValueError, END_MESSAGE), (b"\x92\x01", ValueError, END_MESSAGE),
    (b"\xa3ab", ValueError, END_MESSAGE), (b"\xdd\xff\xff\xff\xff", ValueError, END_MESSAGE),
    (b"\xc1", ValueError, RESERVED_MESSAGE), (b"\x91\xc1", ValueError, RESERVED_MESSAGE),
    (b"\xd4\x01\x00", ValueError, EXT_MESSAGE), (b"\xc7\x00\x01", ValueError, EXT_MESSAGE),
    (b"\x81\x90\x01", TypeError, "unhashable type: 'list'"), (b"\x81\x80\x01", TypeError, "unhashable type: 'dict'"),
    (b"\x91" * 129 + b"\x01", ValueError, DEPTH_MESSAGE), (b"\x91" * 1_000_000, ValueError, DEPTH_MESSAGE),
])
def test_decode_failures(data, error, message):
    with pytest.raises(error) as info:
        loads(data)
    assert type(info.value) is error
    assert str(info.value) == message

"""What dumps and loads add to the wire format: which Python types take which form, the objects decoding
makes, and the exact messages of both. (Every form and width on the wire is checked byte by byte in the C++
reader and writer tests.)"""

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


def nested_list(levels, inner=0):
    return reduce(lambda value, _: [value], range(levels), inner)


def self_referential(container):
    container[0 if isinstance(container, list) else "self"] = container
    return container


@pytest.mark.parametrize("value,encoded", [
    # where the conversion from int switches between signed and unsigned, and its ends
    (-1, "ff"), (2**63 - 1, "cf7fffffffffffffff"), (2**63, "cf8000000000000000"), (2**64 - 1, "cfffffffffffffffff"),
    (-(2**63), "d38000000000000000"),
    (None, "c0"), (True, "c3"), (False, "c2"), (1.0, "cb3ff0000000000000"), (-0.0, "cb8000000000000000"),
    (math.inf, "cb7ff0000000000000"), ("é", "a2c3a9"), (b"\x00", "c40100"), ([], "90"), ({}, "80"),
    ([1, [2, [3]]], "920192029103"), ({None: True, 1.5: b"", "k": []}, "83c0c3cb3ff8000000000000c400a16b90"),
])
def test_exact_encodings_that_decode_back(value, encoded):
    assert dumps(value) == bytes.fromhex(encoded)
    result = loads(bytes.fromhex(encoded))
    assert result == value and type(result) is type(value)


@pytest.mark.parametrize("base,value,plain", [
    (int, enum.IntEnum("Color", {"RED": 300}).RED, 300), (str, "hi", "hi"), (float, 2.5, 2.5), (bytes, b"ab", b"ab"),
    (list, [1, 2], [1, 2]), (dict, {"a": 1}, {"a": 1}), (tuple, (1, 2), [1, 2]), (tuple, ((1, 2),), [[1, 2]]),
])
def test_subclasses_and_tuples_encode_as_their_base_type(base, value, plain):
    if base is not int:
        value = type("Sub", (base,), {})(value)
    assert dumps(value) == dumps(plain)
    assert type(loads(dumps(value))) is type(plain)
    assert dumps({(1, 2): "a"}) == bytes.fromhex("81920102a161")  # even as a key


def test_nan_keeps_its_bits():
    payload = struct.unpack(">d", bytes.fromhex("7ff0000000000123"))[0]
    assert dumps(payload) == bytes.fromhex("cb7ff0000000000123") and math.isnan(loads(dumps(math.nan)))
    assert math.isnan(loads(b"\xca\x7f\xc0\x00\x00"))  # a single-precision NaN widens to one


@pytest.mark.parametrize("value,error,message", [
    (2**64, ValueError, RANGE_MESSAGE), (-(2**63) - 1, ValueError, RANGE_MESSAGE), (-(10**30), ValueError, RANGE_MESSAGE),
    ({1, 2}, TypeError, TYPE_MESSAGE), (bytearray(b"x"), TypeError, TYPE_MESSAGE),
    (memoryview(b"x"), TypeError, TYPE_MESSAGE), (1j, TypeError, TYPE_MESSAGE), ([1, {2: frozenset()}], TypeError, TYPE_MESSAGE),
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
    (b"\xca\x3f\xc0\x00\x00", 1.5), (b"\xd3" + b"\xff" * 8, -1), (b"\xcf" + b"\xff" * 8, 2**64 - 1),
    (b"\xa2\xff\xfe", b"\xff\xfe"), (b"\xd9\x02\xc3\x28", b"\xc3\x28"),  # invalid UTF-8 comes back as bytes
    (b"\x82\x01\x02\x01\x03", {1: 3}), (b"\x81\xa2\xff\xfe\x01", {b"\xff\xfe": 1}),
    (b"\x83\xa1a\x01\xa1b\x02\xa1a\x03", {"a": 3, "b": 2}),  # a duplicate keeps first place, last value
    (b"\xdc\x00\x01\xc0", [None]), (b"\xdf\x00\x00\x00\x01\xc2\xc3", {False: True}),
    (b"\xc6\x00\x00\x00\x01z", b"z"), (b"\xdb\x00\x00\x00\x01z", "z"), (dumps(1) + b"xyz", 1),
])
def test_decoding_makes_these_objects(data, value):
    result = loads(data)
    assert result == value and type(result) is type(value)
    if isinstance(value, dict):
        assert list(result.items()) == list(value.items())


@pytest.mark.parametrize("data,error,message", [
    (b"", ValueError, END_MESSAGE), (b"\x92\x01", ValueError, END_MESSAGE),
    (b"\x91\xc1", ValueError, "msgpack decode error: reserved marker 0xc1"),
    (b"\xd4\x01\x00", ValueError, "msgpack extension types are not supported by the tallowmere codec"),
    (b"\x81\x90\x01", TypeError, "unhashable type: 'list'"), (b"\x81\x80\x01", TypeError, "unhashable type: 'dict'"),
    (b"\x91" * 129 + b"\x01", ValueError, DEPTH_MESSAGE),
])
def test_decode_failures(data, error, message):
    with pytest.raises(error) as info:
        loads(data)
    assert type(info.value) is error
    assert str(info.value) == message

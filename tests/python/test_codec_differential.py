"""The Python walk of dumps and loads against msgpack-python, both directions, and the round-trip laws; the
key caches and big payloads spliced by reference. (Wire forms and widths are checked in the C++ tests.)"""

import gc
import sys

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

from tallowmere._core import dumps, loads


ints = st.integers(min_value=-(2**63), max_value=2**64 - 1)
floats = st.floats(allow_nan=False)
scalars = st.none() | st.booleans() | ints | floats | st.text(max_size=40) | st.binary(max_size=40)
# Hashable scalars usable as keys; text keys dominate real documents.
keys = st.text(max_size=12) | ints | st.none() | st.booleans() | floats | st.binary(max_size=8)
values = st.recursive(scalars, lambda children: st.lists(children, max_size=6) | st.tuples(children, children)
                      | st.dictionaries(keys, children, max_size=6), max_leaves=40)


def plain(value):
    """What a decode gives back: tuples as lists, everything else as is."""
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    return value


def peer_unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)


@settings(max_examples=250)
@given(values)
def test_agrees_with_msgpack_both_ways(value):
    ours = dumps(value)
    peers = msgpack.packb(value, use_bin_type=True)
    assert ours == peers  # every value here has one MessagePack form in both libraries
    assert peer_unpack(ours) == plain(value)  # what we write, msgpack reads back equal
    assert loads(peers) == plain(value)  # what msgpack writes, we read back equal
    assert dumps(loads(ours)) == ours  # decode then encode is a fixed point


@given(st.lists(st.text(min_size=0, max_size=31), min_size=1, max_size=60))
def test_cached_map_keys_never_mix_up_distinct_keys(names):
    # Many records with overlapping short keys: the key cache must hand back the
    # string that matches the bytes, never a neighbour sharing its slot.
    records = [{name: index for index, name in enumerate(names[i:] + names[:i])} for i in range(len(names))]
    assert loads(dumps(records)) == records
    # More distinct keys than the cache holds: they evict each other without harm, in order.
    document = {f"key-{i:05d}-{i * 7919 % 10007}": i for i in range(5000)}
    assert list(loads(dumps(document)).items()) == list(document.items())
    assert loads(msgpack.packb(records)) == peer_unpack(msgpack.packb(records))


def test_key_encodings_follow_content_when_key_objects_come_and_go():
    # Fresh key objects each round, so freed addresses get reused by strings with
    # other contents; each dict is written twice so its keys get cached.
    for round_number in range(400):
        keys = [f"k{round_number % 7}-{i}-" + "é" * (i % 3) + "x" * (round_number % 33) for i in range(12)]
        document = {key: i for i, key in enumerate(keys)}
        expected = msgpack.packb(document)
        assert dumps(document) == expected
        assert dumps(document) == expected
        assert dumps([document, {"k": document}]) == msgpack.packb([document, {"k": document}])


def test_key_cache_holds_a_bounded_number_of_keys():
    for _ in range(3):
        dumps({f"warm-{i}": i for i in range(2000)})
    gc.collect()
    before = sys.getallocatedblocks()
    for round_number in range(20):
        document = {f"fresh-{round_number}-{i}": i for i in range(2000)}
        dumps(document)
        dumps(document)
        del document
    gc.collect()
    assert sys.getallocatedblocks() - before < 2000


BIG = 2048  # from this size on, payloads are spliced into the output by reference rather than copied


@pytest.mark.parametrize("size", [BIG - 1, BIG, 65535, 65536, 300_000])
@pytest.mark.parametrize("make", [lambda n: b"\x00\xff" * (n // 2) + b"!" * (n % 2),
                                  lambda n: "a" * n, lambda n: "\u00e9" * (n // 2) + "z" * (n % 2),
                                  lambda n: "\U0001f600" * (n // 4) + "q" * (n % 4)],
                         ids=["bytes", "ascii", "two-byte", "four-byte"])
def test_big_payloads_agree_with_msgpack_wherever_they_sit(make, size):
    payload = make(size)
    small = make(20)
    for value in (payload, [payload], [small, payload, 7, payload, small], {"k": payload, "j": [small, payload]},
                  (payload, {"n": {"m": payload}}, small)):
        ours = dumps(value)
        assert ours == msgpack.packb(value, use_bin_type=True)
        assert loads(ours) == plain(value)


def test_a_failure_after_a_big_payload_leaves_nothing_behind():
    payload = b"p" * 100_000
    before = sys.getrefcount(payload)
    for _ in range(3):
        with pytest.raises(TypeError):
            dumps([payload, "x" * 5000, object()])
    assert sys.getrefcount(payload) == before
    assert dumps([payload]) == msgpack.packb([payload])  # the reused scratch buffer holds no stale piece


@settings(max_examples=200, deadline=None, derandomize=True, database=None)
@given(st.text(min_size=1, max_size=70), st.binary(max_size=4), st.integers(min_value=0, max_value=140))
def test_short_text_decodes_like_the_interpreter_valid_or_not(text, noise, cut):
    # Strings up to 128 UTF-8 bytes take their own decoder: it must agree with the
    # interpreter's strict one, and what that one rejects still comes back as bytes.
    raw = text.encode("utf-8")
    for payload in (raw, raw[:cut] + noise + raw[cut:], raw[:cut]):
        check_str_form(payload)


def check_str_form(payload):
    """The MessagePack str holding `payload`'s bytes as they are decodes as the interpreter's strict decoder
    does, or to the bytes themselves where that one refuses them."""
    n = len(payload)
    head = bytes([0xA0 | n]) if n < 32 else bytes([0xD9, n]) if n < 256 else b"\xda" + n.to_bytes(2, "big")
    try:
        expected = payload.decode("utf-8")
    except UnicodeDecodeError:
        expected = payload
    assert loads(head + payload) == expected


def test_every_short_length_and_position_takes_the_right_text_path():
    # Short payloads are sorted by a word-wise ASCII test and decoded by width
    # (ASCII, Latin-1, wider, invalid): one odd byte anywhere, at any length up to
    # past the short limit, must land on the path the whole payload calls for.
    for n in range(259):
        check_str_form(b"a" * n)
        for i in range(n):
            for odd in (b"\xff", "é".encode(), "ł".encode(), "日".encode(), "😀".encode()):
                check_str_form(b"a" * i + odd + b"b" * (n - i - 1))

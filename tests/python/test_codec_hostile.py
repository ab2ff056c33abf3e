"""Hostile input as the binding meets it: memory and stack bounds of the Python decoder, reference leaks, the
collector and finalizers, subinterpreters, and objects that change under the codec. (Truncation, malformed
forms and random bytes are the C++ reader tests' and the fuzzer's.)"""

import gc
import sys
import tracemalloc
from functools import reduce

import pytest
from tallowmere._core import dumps, loads
from thread_helpers import run_in_small_stack

RICH = {  # a document with every kind of value and of header width
    "thread": "t-1", "step": 2**40, "neg": [-1, -33, -129, -32769, -(2**31) - 1, -(2**63)], "big": 2**64 - 1,
    "score": 0.125, "text": "é€😀" * 3 + "x" * 40, "blob": b"\x00\xff" * 150,
    "nested": [[{"k": [None, True, False]}], (1, 2)], "wide": list(range(20)), "map": {str(i): i for i in range(17)},
    "long": "y" * 300,
}


def peak_bytes_of(function) -> int:
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        function()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("data", [
    b"\xdf\xff\xff\xff\xff", b"\xdb\xff\xff\xff\xff", b"\xdc\xff\xff" * 128 + b"\x00" * 20_000, b"\xde\xff\xff" * 128,
    b"\xdc\x4e\x20" * 120 + b"\xc0" * 20_000,  # each count fits the input; together they declare 120 times that
])
def test_declared_counts_do_not_allocate_ahead_of_the_data(data):
    def attempt():
        with pytest.raises(ValueError):
            loads(data)

    # Proportional to the bytes present (a pointer per element, doubling growth),
    # never to the declared counts, which here add up to gigabytes.
    assert peak_bytes_of(attempt) < 64 * 1024 + 32 * len(data)


def test_cached_keys_match_on_length_and_every_byte():
    # Each key is seen twice in a row (so it is cached) just before a key that is its prefix,
    # then one that differs in its last byte; some of those land in the cached key's slot.
    document = []
    for i in range(20_000):
        key = f"k{i:05d}xyz"
        document += [{key: 0}, {key: 0}, {key[:-3]: 1}, {key: 0}, {key[:-1] + "w": 2}]
    assert loads(dumps(document)) == document


def nested(levels, wrap=lambda value: [value], inner=0):
    return reduce(lambda value, _: wrap(value), range(levels), inner)


def test_deepest_inputs_fit_a_small_thread_stack():
    deepest = nested(128)
    encoded = run_in_small_stack(lambda: dumps(deepest))
    assert run_in_small_stack(lambda: loads(encoded)) == deepest
    deepest_map = nested(127, lambda value: {"k": value}, {"a": 1})
    assert run_in_small_stack(lambda: loads(dumps(deepest_map))) == deepest_map
    for call in (lambda: dumps(nested(129)), lambda: loads(b"\x91" * 200_000), lambda: loads(b"\x81\xa1k" * 200_000)):
        with pytest.raises(ValueError, match="nests deeper"):
            run_in_small_stack(call)


def failing_calls():
    loop = []
    loop.append(loop)
    deep_map_then_error = b"\x82\xa1a\x92\x01\xa1x\xa1b\xc1"
    return [
        (dumps, loop), (dumps, [1, "two", {"three": object()}]), (dumps, {"a": [1, 2, 2**70]}),
        (dumps, ["ok", "\ud800"]), (loads, dumps(RICH)[:-3]), (loads, deep_map_then_error),
        (loads, b"\x93\xa1a\xd4\x00\x00\x01"), (loads, b"\x91" * 140 + b"\x01"),
        (loads, b"\x82\xa1k\x01\x91\x01\x02"),  # a list as a key, after a complete entry
        (loads, b"\xdd\x00\x00\x00\x03\xa1a\x91\xa1b"),  # out-of-place list, then truncated
    ]


def test_no_reference_leaks_on_success_or_failure():
    encoded = dumps(RICH)

    def cycle():
        for _ in range(20):
            loads(dumps(RICH))
            loads(encoded)
            for function, argument in failing_calls():
                with pytest.raises((ValueError, TypeError, UnicodeEncodeError)):
                    function(argument)
                assert dumps(loads(encoded)) == encoded  # a failed call leaves nothing behind for the next

    for _ in range(3):  # warm caches (key cache, interned strings, free lists)
        cycle()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(50):
        cycle()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


def test_automatic_collection_setting_survives_every_decode():
    assert gc.isenabled()
    for enabled in (True, False):
        (gc.enable if enabled else gc.disable)()
        try:
            loads(dumps(RICH))
            for bad in (b"\x92\x01\xc1", b"\x92\x01"):
                with pytest.raises(ValueError):
                    loads(bad)
            assert gc.isenabled() == enabled
        finally:
            gc.enable()


class Reenters:
    """Garbage whose finalizer runs the codec again while collections happen."""

    calls = 0

    def __init__(self):
        self.cycle = self

    def __del__(self):
        Reenters.calls += 1
        assert loads(dumps({"inner": [1, 2, {"x": "y"}]})) == {"inner": [1, 2, {"x": "y"}]}


def test_finalizers_that_reenter_the_codec_are_harmless():
    records = [{"id": i, "tags": ["a", "b"], "meta": {"k": [i]}} for i in range(300)]
    encoded = dumps(records)
    thresholds = gc.get_threshold()
    gc.set_threshold(5, 1, 1)
    try:
        for _ in range(30):
            for _ in range(20):
                Reenters()
            assert loads(encoded) == records and dumps(records) == encoded
        gc.collect()
    finally:
        gc.set_threshold(*thresholds)
    assert Reenters.calls > 0


class GrowingDict(dict):
    def __len__(self):
        self["extra"] = 1
        return super().__len__()

    def items(self):
        self.clear()
        return super().items()

    def __iter__(self):
        self["again"] = 2
        return super().__iter__()


def test_dicts_that_mutate_when_touched_never_crash():
    grown = GrowingDict(a=1, b=[1, 2])
    assert loads(dumps(grown)) == {"a": 1, "b": [1, 2]}  # read through the dict itself, not its overrides
    assert loads(dumps([grown, grown])) == [{"a": 1, "b": [1, 2]}] * 2


def run_in_subinterpreter(code):
    """Runs code in a new subinterpreter that shares the main one's GIL; False when this
    CPython offers no way to make one (every supported version has one of these modules)."""
    try:
        import _testcapi  # absent where the distribution splits the test modules out
        return _testcapi.run_in_subinterp(code) == 0
    except ImportError:
        pass
    for module_name, create in (("_interpreters", lambda m: m.create("legacy")),  # 3.13+
                                ("_xxsubinterpreters", lambda m: m.create(isolated=False)
                                 if sys.version_info >= (3, 12) else m.create())):
        try:
            module = __import__(module_name)
        except ImportError:
            continue
        interpreter = create(module)
        try:
            return module.run_string(interpreter, code) is None  # 3.13 returns the failure, 3.12- raise it
        finally:
            module.destroy(interpreter)
    pytest.skip("this CPython has neither _testcapi nor a subinterpreter module")


def test_subinterpreters_keep_their_own_objects():
    code = (
        "import tallowmere\n"
        "d = {('sub-key-%d' % i): [i, 'v'] for i in range(50)}\n"
        "for _ in range(3):\n"
        "    assert tallowmere.loads(tallowmere.dumps(d)) == d\n"
    )
    assert run_in_subinterpreter(code)
    # The subinterpreter is gone; nothing of its objects may be served here.
    document = {("sub-key-%d" % i): [i, "v"] for i in range(50)}
    for _ in range(3):
        assert loads(dumps(document)) == document

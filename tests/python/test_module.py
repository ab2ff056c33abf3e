"""The module as the interpreter sees it: what it exports, and the argument binding every function and
method shares (the per-class tables test only what their own arguments add)."""

import subprocess
import sys

import pytest

import tallowmere
from tallowmere import _core


def test_registration():
    assert _core.__version__ == _core.core_version() == tallowmere.__version__
    assert _core.__all__ == ["__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph"]
    assert tallowmere.__all__ == _core.__all__
    for name in ("Store", "Snapshot", "HandoffGraph"):
        assert getattr(_core, name).__module__ == "tallowmere._core"


@pytest.mark.parametrize("call, message", [
    (lambda: _core.dumps(), "dumps() missing 1 required positional argument: 'obj'"),
    (lambda: _core.dumps(1, 2), "dumps() takes 1 positional arguments but 2 were given"),
    (lambda: _core.dumps(1, x=2), "dumps() got an unexpected keyword argument 'x'"),
    (lambda: _core.dumps(1, **{"a\0b": 2}), "dumps() got an unexpected keyword argument 'a\0b'"),
    (lambda: _core.dumps(1, obj=2), "dumps() got multiple values for argument 'obj'"),
    (lambda: _core.loads(), "loads() missing 1 required positional argument: 'data'"),
    (lambda: _core.core_version(1), "core_version() takes 0 positional arguments but 1 was given"),
    (lambda: _core.HandoffGraph().add_edge(),
     "HandoffGraph.add_edge() missing 2 required positional arguments: 'from_node' and 'to'"),
    (lambda: _core.HandoffGraph().add_edge("a", to="b", from_node="c"),
     "HandoffGraph.add_edge() got multiple values for argument 'from_node'"),
    (lambda: _core.Store().get("a", "x", 1, 2), "Store.get() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: _core.Store("memory", "msgpack", 1, 2),
     "Store.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda: _core.loads(bytearray(b"\xc0")), "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: _core.loads(None), "argument 'data': 'None' is not an instance of 'bytes'"),
])
def test_binding_errors_have_exact_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_bytes_subclasses_are_accepted():
    class Blob(bytes):
        pass

    assert _core.dumps(obj=[1]) == b"\x91\x01"
    assert _core.loads(data=b"\x91\x01") == [1]
    assert _core.loads(Blob(b"\xc0")) is None
    assert _core.loads(b"\x01\x02") == 1


def test_import_works_without_langgraph():
    code = "import sys; sys.modules['langgraph'] = None; import tallowmere; print(tallowmere.Store().scan('x'))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"

"""The module as the interpreter sees it: registration, versions, argument binding."""

import pytest

import tallowmere
from tallowmere import _core


def test_version_and_registration_order():
    assert _core.__version__ == _core.core_version() == tallowmere.__version__ == "0.11.0"
    assert _core.__all__ == [
        "__version__", "core_version", "dumps", "loads", "Store", "Snapshot", "HandoffGraph",
    ]
    assert tallowmere.__all__ == _core.__all__
    assert _core.__doc__ == "The `tallowmere._core` native module."


@pytest.mark.parametrize("name", ["Store", "Snapshot", "HandoffGraph"])
def test_classes_report_the_native_module(name):
    cls = getattr(_core, name)
    assert cls.__module__ == "tallowmere._core"
    assert cls.__qualname__ == name


@pytest.mark.parametrize("fn, signature", [
    (_core.core_version, "()"), (_core.dumps, "(obj)"), (_core.loads, "(data)"),
])
def test_functions_carry_text_signatures(fn, signature):
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "tallowmere._core"
    assert fn.__doc__ and "--" not in fn.__doc__


@pytest.mark.parametrize("call, message", [
    (lambda: _core.dumps(), "dumps() missing 1 required positional argument: 'obj'"),
    (lambda: _core.dumps(1, 2), "dumps() takes 1 positional arguments but 2 were given"),
    (lambda: _core.dumps(1, x=2), "dumps() got an unexpected keyword argument 'x'"),
    (lambda: _core.dumps(1, **{"a\0b": 2}), "dumps() got an unexpected keyword argument 'a\0b'"),
    (lambda: _core.dumps(1, obj=2), "dumps() got multiple values for argument 'obj'"),
    (lambda: _core.loads(), "loads() missing 1 required positional argument: 'data'"),
    (lambda: _core.core_version(1), "core_version() takes 0 positional arguments but 1 was given"),
    (lambda: _core.loads(bytearray(b"\xc0")),
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda: _core.loads(None), "argument 'data': 'None' is not an instance of 'bytes'"),
    (lambda: _core.loads(memoryview(b"\xc0")),
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
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

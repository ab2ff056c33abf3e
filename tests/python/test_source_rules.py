"""Source rules that no compiler checks: where Python may be touched, and where it may not."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
PURE_DIRS = ["common", "codec", "store", "condition", "graph"]
PY_TOUCH = re.compile(r"\bPy[A-Z][A-Za-z_]*\s*\(|\bPy_X?(?:INC|DEC)REF\b|\bOwnedRef\b|\bPyObject\b")

if not SRC.is_dir():  # running against an installed package without the sources
    pytest.skip("source tree not available", allow_module_level=True)


def binding_files():
    return sorted(p for p in SRC.rglob("*.cpp") if p.name.endswith("_py.cpp") or p.parent.name == "py")


def pure_files():
    for sub in PURE_DIRS:
        for path in sorted((SRC / sub).glob("*")):
            if path.suffix in {".h", ".cpp"} and not path.stem.endswith("_py"):
                yield path


@pytest.mark.parametrize("path", list(pure_files()), ids=lambda p: f"{p.parent.name}/{p.name}")
def test_pure_cores_never_include_python(path):
    text = path.read_text()
    assert "Python.h" not in text and '#include "py/' not in text


def closing(text, start, opening, closing_char):
    """Index of the bracket that closes the one opened just before `start`."""
    depth = 0
    for index in range(start, len(text)):
        if text[index] == opening:
            depth += 1
        elif text[index] == closing_char:
            if depth == 0:
                return index
            depth -= 1
    return len(text)


def released_scopes(text):
    """Yields (line number, body) of every block that declares a GilReleased guard, and of every
    without_gil(...) call's argument, which runs with the interpreter lock released."""
    # The guard lives until the end of the enclosing block.
    for match in re.finditer(r"\bGilReleased\s+\w+\s*;", text):
        yield text.count("\n", 0, match.start()) + 1, text[match.end():closing(text, match.end(), "{", "}")]
    for match in re.finditer(r"\bwithout_gil\s*\(", text):
        yield text.count("\n", 0, match.start()) + 1, text[match.end():closing(text, match.end(), "(", ")")]


@pytest.mark.parametrize("path", binding_files(), ids=lambda p: p.name)
def test_nothing_python_while_the_interpreter_lock_is_released(path):
    text = re.sub(r"//[^\n]*", "", path.read_text())
    offenders = [
        f"{path.name}:{line}: {hit.group(0)}"
        for line, body in released_scopes(text)
        for hit in PY_TOUCH.finditer(body)
    ]
    assert offenders == []


def test_the_lint_sees_a_violation():
    sample = "void f() {\n  { GilReleased nogil;\n    Py_DECREF(x);\n  }\n}\n"
    assert [body.strip() for _, body in released_scopes(sample)] == ["Py_DECREF(x);"]
    sample = "auto n = without_gil([&] { return f(g(x)) + PyLong_AsLong(y); });\n"
    assert [body.strip() for _, body in released_scopes(sample)] == ["[&] { return f(g(x)) + PyLong_AsLong(y); }"]


# Walks over whole stores or snapshots that touch no Python object: each must run with
# the interpreter lock released, so other threads progress while it runs.
RELEASED_WALKS = [
    ("store/snapshot_py.cpp", "diff_snapshots("),
    ("store/snapshot_py.cpp", "append_delta("),
    ("store/store_py.cpp", "state.store.get_many("),
    ("store/store_py.cpp", "state.store.restore("),
    ("store/store_py.cpp", "state.store.scan("),
]


@pytest.mark.parametrize("relative, call", RELEASED_WALKS, ids=lambda v: v)
def test_long_walks_run_with_the_interpreter_lock_released(relative, call):
    text = re.sub(r"//[^\n]*", "", (SRC / relative).read_text())
    total = text.count(call)
    released = sum(body.count(call) for _, body in released_scopes(text))
    assert total > 0 and released == total

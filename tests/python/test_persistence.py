"""Snapshots saved to files and loaded back, as Python sees them: the paths and arguments taken, the errors
raised (a full disk included), processes killed mid-save, and threads that keep using the store while it is
saved. What a file holds is checked byte by byte by the C++ tests, and against the model in test_store_model.py."""

import json
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest

from tallowmere import Store, dumps
from thread_helpers import run_threads

HERE = pathlib.Path(__file__).parent
VALUES = [None, True, 0, -1, 2**64 - 1, 1.5, "", "é😀", b"\x00\xff", [1, [2, {"a": None}]], {"k": {"n": 1.0}}]


def filled_store(count=50):
    store = Store()
    store.set_many([(f"ns{i % 5}", f"k{i}", VALUES[i % len(VALUES)]) for i in range(count)])
    return store


def contents(store):
    return {pair: dumps(store.get(*pair)) for pair in store.snapshot().keys}


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode])
def test_round_trip_through_any_path_type(tmp_path, as_path):
    store = filled_store()
    store.snapshot().save(as_path(tmp_path / "s.snap"))
    assert contents(Store.load(as_path(tmp_path / "s.snap"))) == contents(store)
    assert os.listdir(tmp_path) == ["s.snap"]


def test_a_loaded_store_is_a_new_store(tmp_path):
    store = filled_store()
    store.snapshot().save(tmp_path / "s.snap")
    loaded = Store.load(tmp_path / "s.snap", max_history=2)
    assert loaded.max_history == 2
    # A new lineage: the old store's snapshots cannot continue the loaded store's files.
    loaded.snapshot().save(tmp_path / "t.snap")
    loaded.set("x", "y", 1)
    with pytest.raises(ValueError, match="another store"):
        loaded.snapshot().save(tmp_path / "t.snap", base=store.snapshot())


def test_a_base_that_does_not_end_the_file_changes_nothing(tmp_path):
    path = tmp_path / "s.snap"
    store = filled_store()
    first = store.snapshot()
    first.save(path)
    store.set("a", "b", 1)
    store.snapshot().save(path, base=first)
    before = path.read_bytes()
    store.set("a", "b", 2)
    third = store.snapshot()
    with pytest.raises(ValueError, match="last complete record is snapshot 2, not the base snapshot 1"):
        third.save(path, base=first)
    with pytest.raises(ValueError, match="base is a snapshot of another store"):
        third.save(path, base=Store().snapshot())
    with pytest.raises(ValueError, match="the file holds snapshots of another store"):
        (other := Store()).snapshot().save(path, base=other.snapshot())
    assert path.read_bytes() == before


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.save(None), TypeError, "argument 'path'"),
    (lambda s: s.save("x\0y"), ValueError, "null"),
    (lambda s: s.save("x", base=1), TypeError, "argument 'base'"),
    (lambda s: Store.load(1), TypeError, "argument 'path'"),
    (lambda s: Store.load("x", max_history=-1), OverflowError, None),
    (lambda s: Store.load("x", 0, 1), TypeError, "Store.load"),
])
def test_bad_arguments(tmp_path, monkeypatch, call, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=message):
        call(Store().snapshot())
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("case, error_class", [
    ("load a missing file", FileNotFoundError),
    ("load a directory", IsADirectoryError),
    ("save into a missing directory", FileNotFoundError),
    ("save over a directory", IsADirectoryError),
    ("append to a missing file", FileNotFoundError),
])
def test_file_system_errors_name_the_path_and_leave_no_temporary_file(tmp_path, case, error_class):
    snap = filled_store().snapshot()
    (tmp_path / "dir").mkdir()
    path = {"load a missing file": tmp_path / "absent", "load a directory": tmp_path / "dir",
            "save into a missing directory": tmp_path / "no" / "s.snap", "save over a directory": tmp_path / "dir",
            "append to a missing file": tmp_path / "absent"}[case]
    with pytest.raises(error_class) as raised:
        if case.startswith("load"):
            Store.load(path)
        elif case.startswith("append"):
            snap.save(path, base=snap)
        else:
            snap.save(path)
    assert raised.value.filename == str(path)
    assert sorted(os.listdir(tmp_path)) == ["dir"] and os.listdir(tmp_path / "dir") == []


def test_damage_raises_a_torn_tail_warns_and_the_next_append_cuts_it(tmp_path):
    path = tmp_path / "s.snap"
    store = filled_store(12)
    base = store.snapshot()
    base.save(path)
    image = path.read_bytes()
    image_end = len(image)
    store.set("ns1", "d", "x" * 5000)
    store.snapshot().save(path, base=base)
    data = path.read_bytes()
    for damaged, message in ((b"", "offset 0"), (b"GIF89a" + bytes(60), "bad magic"),
                             (data[:100] + bytes([data[100] ^ 0xFF]) + data[101:], r"damaged at offset \d+")):
        path.write_bytes(damaged)
        with pytest.raises(ValueError, match=message):
            Store.load(path)
    path.write_bytes(image + data[image_end:-1])  # an append cut short: its mark was never written
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loaded = Store.load(path)
    torn = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert len(torn) == 1 and f"torn record at offset {image_end}" in torn[0]
    assert loaded.snapshot().diff(base) == {"added": [], "removed": [], "changed": []}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=f"torn record at offset {image_end}"):
            Store.load(path)
        # The next append goes on from the base, cutting the torn tail (longer than this delta) first.
        store.delete("ns1", "d")
        store.snapshot().save(path, base=base)
        assert contents(Store.load(path)) == contents(store)


def test_file_size_limit_raises_oserror_and_keeps_the_old_file(tmp_path):
    code = """
        import errno, os, resource, signal, sys
        from tallowmere import Store
        path = sys.argv[1]
        store = Store()
        store.set("small", "k", 1)
        old = store.snapshot()
        old.save(path)
        store.set_many([("big", f"k{i}", "x" * 100) for i in range(2000)])
        big = store.snapshot()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))
        before = open(path, "rb").read()
        for attempt in ("image", "delta"):
            try:
                big.save(path, base=old if attempt == "delta" else None)
            except OSError as error:
                assert error.errno == errno.EFBIG and error.filename == path, error
            else:
                raise AssertionError(attempt + " save past the limit succeeded")
            assert open(path, "rb").read() == before, attempt
            assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
        assert Store.load(path).get("small", "k") == 1
        print("ok")
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(tmp_path / "s.snap")],
                            capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("mode", ["image", "append"])
def test_writers_killed_at_random_points(tmp_path, mode):
    """Children saving or appending are killed with SIGKILL at random points; the file must then hold the
    old or the new state (image), or the base plus every complete delta (append).
    TALLOWMERE_CRASH_ROUNDS sets the rounds per mode (default 40)."""
    rounds = int(os.environ.get("TALLOWMERE_CRASH_ROUNDS", "40"))
    result = subprocess.run(
        [sys.executable, str(HERE / "persist_crash_child.py"), mode, str(tmp_path / "s.snap"), str(rounds), "7"],
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    report = json.loads(result.stdout.splitlines()[-1])
    assert sum(report["counts"].values()) == rounds


def test_writers_go_on_while_a_snapshot_is_saved_and_loaded(tmp_path):
    store = filled_store(20_000)
    snap = store.snapshot()
    expected = contents(store)
    written = {}

    def writer():
        for i in range(3000):
            store.set("live", f"w{i}", i)
            written[("live", f"w{i}")] = dumps(i)

    def saver():
        for round_ in range(3):
            snap.save(tmp_path / f"s{round_}.snap")
            assert contents(Store.load(tmp_path / f"s{round_}.snap")) == expected

    run_threads(writer, saver)
    assert contents(store) == {**expected, **written}

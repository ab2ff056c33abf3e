"""Store files as Python sees them: snapshot files and durable stores (Store.open). The paths and arguments
taken, the errors raised (a full disk included), what a newcomer relies on (modes, links, long names), other
processes holding a file, and processes killed while they write. What a file holds, damage, power cuts and failed I/O are checked byte by byte by the C++ tests."""

import errno
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest

from tallowmere import Store, dumps

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
    snap = store.snapshot()
    snap.save(as_path(tmp_path / "s.snap"))
    assert contents(Store.load(as_path(tmp_path / "s.snap"))) == contents(store)
    assert os.listdir(tmp_path) == ["s.snap"]
    assert snap.to_bytes() == (tmp_path / "s.snap").read_bytes()
    assert contents(Store.from_bytes(snap.to_bytes())) == contents(store)


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


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.save(None), TypeError, "argument 'path'"), (lambda s: s.save("x\0y"), ValueError, "null"),
    (lambda s: s.save("x", base=1), TypeError, "argument 'base'"),
    (lambda s: Store.load(1), TypeError, "argument 'path'"),
    (lambda s: Store.load("x", max_history=-1), OverflowError, None),
    (lambda s: Store.load("x", 0, 1), TypeError, "Store.load"),
    (lambda s: Store.open("x", "always"), TypeError, "Store.open"),
    (lambda s: Store.open("x", fsync="sometimes"), ValueError, "fsync must be"),
    (lambda s: Store.open("x", fsync_interval=0), ValueError, "fsync_interval"),
    (lambda s: Store.open("x", fsync_interval="1"), TypeError, "argument 'fsync_interval'"),
    (lambda s: Store.from_bytes(bytearray()), TypeError, "argument 'data'"),
    (lambda s: Store.from_bytes(b"\x89TMSNAP\n"), ValueError, "offset 0"),
    (lambda s: Store.encode_record([("rename", "a")]), ValueError, "unknown operation 'rename'"),
    (lambda s: Store.encode_record([("set", "a", "b")]), ValueError, "'set' takes 4 items, got 3"),
    (lambda s: Store.encode_record(["set"]), TypeError, "must be a tuple"),
    (lambda s: Store.encode_record([("set", "a", "b", object())]), TypeError, None),
    (lambda s: Store().apply_record("x"), TypeError, "argument 'record'"),
    (lambda s: Store().apply_record(b"\x01\x07"), ValueError, "invalid record at offset 1: unknown operation"),
    (lambda s: Store().apply_record(b"\x00", strict=1), TypeError, "argument 'strict'"),
    (lambda s: Store.encode_record([("delete", "a", 1)]), TypeError, "argument 'key'"),
])
def test_bad_arguments(tmp_path, monkeypatch, call, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=message):
        call(Store().snapshot())
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("case, error_class", [
    ("load a missing file", FileNotFoundError), ("load a directory", IsADirectoryError),
    ("save into a missing directory", FileNotFoundError), ("save over a directory", IsADirectoryError),
    ("append to a missing file", FileNotFoundError), ("open a directory", IsADirectoryError),
    ("open in a missing directory", FileNotFoundError), ("load a FIFO", OSError), ("save over a FIFO", OSError),
    ("open a FIFO", OSError), ("append to a FIFO", OSError),
])
def test_file_system_errors_name_the_path_and_leave_no_temporary_file(tmp_path, case, error_class):
    snap = filled_store().snapshot()
    (tmp_path / "dir").mkdir()
    os.mkfifo(tmp_path / "fifo")  # refused at once, never waited on
    path = tmp_path / ("dir" if "directory" in case and "missing" not in case else
                       "fifo" if "FIFO" in case else "no/s.snap" if "missing directory" in case else "absent")
    with pytest.raises(error_class, match="not a regular file" if "FIFO" in case else None) as raised:
        {"load": Store.load, "open": Store.open, "append": lambda p: snap.save(p, base=snap),
         "save": snap.save}[case.split()[0]](path)
    assert raised.value.filename == str(path)
    assert sorted(os.listdir(tmp_path)) == ["dir", "fifo"] and os.listdir(tmp_path / "dir") == []


def test_damage_raises_and_a_torn_tail_warns(tmp_path):
    path = tmp_path / "s.snap"
    store = filled_store(12)
    base = store.snapshot()
    base.save(path)
    image, expected = path.read_bytes(), contents(store)
    store.set("ns1", "d", "x" * 5000)
    store.snapshot().save(path, base=base)
    data = path.read_bytes()
    for damaged, message in ((b"", "offset 0"), (b"GIF89a" + bytes(60), "bad magic"),
                             (data[:100] + bytes([data[100] ^ 0xFF]) + data[101:], r"damaged at offset \d+")):
        path.write_bytes(damaged)
        with pytest.raises(ValueError, match=message):
            Store.load(path)
    path.write_bytes(image + data[len(image):-1])  # an append cut short: its mark was never written
    with pytest.warns(RuntimeWarning, match=f"torn record at offset {len(image)}"):
        loaded = Store.load(path)
    assert contents(loaded) == expected


def test_full_saves_keep_the_mode_follow_links_and_take_long_names(tmp_path):
    snap = filled_store().snapshot()
    private = tmp_path / "private.snap"
    private.touch(mode=0o600)
    snap.save(private)
    assert private.stat().st_mode & 0o777 == 0o600
    (tmp_path / "link").symlink_to("private.snap")
    snap.save(tmp_path / "link")
    assert (tmp_path / "link").is_symlink() and Store.load(private).snapshot().keys == snap.keys
    long_name = tmp_path / ("n" * 240)
    snap.save(long_name)
    assert sorted(os.listdir(tmp_path)) == sorted(["private.snap", "link", "n" * 240])
    # What killed saves leave behind goes when the path is next opened for writing.
    for leftover in (".tm-0123456789abcdef-0123456789abcdef.tmp", "private.snap.tmp-0123456789abcdef"):
        (tmp_path / leftover).touch()
    Store.open(private).close()
    assert ".tm-0123456789abcdef-0123456789abcdef.tmp" in os.listdir(tmp_path)  # another file's
    assert "private.snap.tmp-0123456789abcdef" not in os.listdir(tmp_path)


def test_file_size_limit_raises_oserror_and_leaves_no_temporary_file(tmp_path):
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
        hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, hard))
        for attempt in ("image", "delta"):
            try:
                big.save(path, base=old if attempt == "delta" else None)
            except OSError as error:
                assert error.errno == errno.EFBIG and error.filename == path, error
            else:
                raise AssertionError(attempt + " save past the limit succeeded")
            assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
        # A durable store: the write that does not fit raises and is not applied; the rest stays.
        with Store.open(path + ".db", fsync="never") as durable:
            written = 0
            try:
                while True:
                    durable.set("big", str(written), "x" * 1000)
                    written += 1
            except OSError as error:
                assert error.errno == errno.EFBIG and error.filename == path + ".db", error
            assert len(durable) == written and durable.get("big", str(written)) is None
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        assert len(Store.open(path + ".db")) == written > 0
        print("ok")
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(tmp_path / "s.snap")],
                            capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize("mode", ["always", "interval", "never"])
def test_durable_writers_killed_at_random_moments(tmp_path, mode):
    """See persist_crash_child.py. TALLOWMERE_CRASH_ROUNDS sets the rounds per mode (default 6)."""
    rounds = int(os.environ.get("TALLOWMERE_CRASH_ROUNDS", "6"))
    result = subprocess.run([sys.executable, str(HERE / "persist_crash_child.py"), mode, str(tmp_path), str(rounds), "7"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert json.loads(result.stdout.splitlines()[-1])["rounds"] == rounds


def test_a_durable_store_is_used_like_any_store_and_reopens_the_same(tmp_path):
    path = str(tmp_path / "agents.db")
    with Store.open(pathlib.Path(path), fsync="interval", fsync_interval=0.01, max_history=3) as store:
        assert (store.path, store.closed, store.max_history) == (path, False, 3)
        assert repr(store) == f"Store(path={path!r}, fsync='interval', entries=0)"
        store.set_many([(f"ns{i % 3}", f"k{i}", VALUES[i % len(VALUES)]) for i in range(30)])
        assert store.add("ns0", "k0", 1) is False and store.delete("ns1", "k1") is True
        store.copy_namespace("ns0", "copy")
        base = store.snapshot()
        store.delete_namespace("ns2")
        store.restore(base)
        store.apply_record(Store.encode_record([("set", "rec", "k", [1]), ("delete", "copy", "k0")]))
        # Only what a lenient record did is logged, or the reopen below would refuse the file.
        store.apply_record(Store.encode_record([("delete", "copy", "absent"), ("set", "rec", "j", 2)]), strict=False)
        store.flush()
        store.compact()
        expected = contents(store)
    assert store.closed and repr(store) == f"Store(path={path!r}, fsync='interval', closed)"
    memory = Store()
    memory.close()
    for call in (lambda: store.get("ns0", "k0"), lambda: store.set("a", "b", 1), lambda: len(store),
                 lambda: "ns0" in store, store.snapshot, store.flush, lambda: store.__enter__(),
                 lambda: memory.set("a", "b", 1)):
        with pytest.raises(ValueError, match="closed store"):
            call()
    store.close()
    with Store.open(path) as again:
        assert contents(again) == expected
    with open(path, "ab") as file:  # what a crash in the middle of a write leaves
        file.write(b"\x00" * 100)
    with pytest.warns(RuntimeWarning, match="cut off a torn tail"):
        Store.open(path).close()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert contents(Store.open(path)) == expected


def test_one_writer_per_path_and_readers_see_every_acknowledged_write(tmp_path):
    path = str(tmp_path / "agents.db")
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys
        from tallowmere import Store
        store = Store.open(sys.argv[1])
        store.set_many([("ns", str(i), i) for i in range(100)])
        print("ready", flush=True)
        sys.stdin.read()
        """), path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        with pytest.raises(OSError, match=f"in process {holder.pid}") as refused:
            Store.open(path)
        assert refused.value.errno == errno.EBUSY and refused.value.filename == path
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert sorted(Store.load(path).keys("ns"), key=int) == [str(i) for i in range(100)]
        with pytest.raises(OSError, match="held open for writing"):
            Store().snapshot().save(path)
    finally:
        holder.communicate("")
    with Store.open(path) as store:
        with pytest.raises(OSError, match="in this process"):
            Store.open(path)
        assert len(store) == 100

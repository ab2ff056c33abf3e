"""Stores in several processes sharing one state through a private PostgreSQL server."""

import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from pg_server import INSTALL, Server, make_template
from pg_worker import build

from tallowmere import Store

WORKER = os.path.join(os.path.dirname(__file__), "pg_worker.py")


@pytest.fixture(scope="session")
def template():
    try:
        import psycopg  # noqa: F401
        template = make_template()
    except (ImportError, OSError, subprocess.CalledProcessError) as exc:
        (pytest.fail if os.environ.get("CI") else pytest.skip)(f"no PostgreSQL to test with ({exc}): install {INSTALL}")
    yield template
    shutil.rmtree(template.parent)


@pytest.fixture
def server(template):
    yield (server := Server(template))
    server.close()


def spawn(*args):
    return subprocess.Popen([sys.executable, WORKER, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def state_of(store):
    return {ns: dict(store.scan(ns, values=True)) for ns in store.namespaces()}


def outcome(call, *args):
    try:
        return call(*args)
    except Exception as exc:
        return type(exc), str(exc)


def test_same_results_and_errors_as_a_store(server):
    from tallowmere.postgres import connect
    calls = [("set", "a", "k", 1), ("set", 1, "k", 1), ("set", "a", None, 1), ("set", "a", "k", {1}), ("set", "\ud800", "k", 1),
             ("set_many", "abc"), ("set_many", [("a", "k")]), ("set_many", [["a", "k", 1]]), ("add", "a", "k", 2),
             ("set_many", (("a", "x", 1), ("b", "y", [2]))), ("set_many", [("a", "z", 1), ("a", "w", set())]),
             ("add", "c", "k", 3), ("delete", "a", "x"), ("delete", "a", "x"), ("delete", "q", "x"), ("restore", None),
             ("copy_namespace", "a", "d"), ("delete_namespace", "d"), ("delete_namespace", "d")]
    with connect(server.conninfo) as shared:
        local = Store()
        for name, *args in calls:
            assert outcome(getattr(local, name), *args) == outcome(getattr(shared, name), *args), (name, args)
        shared.restore(local.snapshot())
        assert state_of(shared) == state_of(local) == {"a": {"k": 1}, "b": {"y": [2]}, "c": {"k": 3}}


def test_conflicts_order_and_lost_connections(server):
    import psycopg
    from tallowmere.postgres import ConflictError, ConnectionLost, connect
    with connect(server.conninfo, poll_interval=0.05) as a, connect(server.conninfo, poll_interval=0.05) as b:
        a.set("n", "x", 1)
        with pytest.raises(ConflictError), b.transaction() as tx:
            tx.set("n", "x", tx.get("n", "x", 0) + 1)
            a.set("n", "x", -1)  # committed after the transaction read x: its write must not land
        assert b.get("n", "x") == -1  # caught up, nothing applied
        with b.transaction() as tx:
            tx.set("n", "x", tx.get("n", "x") + 1)
            a.set("n", "other", 0)  # not read by the transaction: no conflict
        with psycopg.connect(server.conninfo) as early:  # takes its id first, commits last
            early.execute("SELECT pg_current_xact_id()")
            a.set("n", "k", 1)  # committed first, sorts after: applied at once, later rebuilt under early's row
            early.execute("INSERT INTO tallowmere_log SELECT 'default', epoch::bigint << 44 | pg_current_xact_id()::text::bigint,"
                          " %b, '{}', '{}', false FROM tallowmere_run",
                          (Store.encode_record([("set", "n", "k", 0), ("set", "n", "j", 0)]),))
        a.sync()
        os.kill(a._pool._idle[0].pq.backend_pid, signal.SIGKILL)  # a crash: the server recovers in place
        with pytest.raises(ConnectionLost):
            a.set("n", "x", 10)
        assert state_of(a) == {"n": {"other": 0, "x": 0, "k": 1, "j": 0}} and b.get("n", "x") == 0
        deadline = time.monotonic() + 60  # ids may be handed out again after recovery: a new epoch sorts them last
        while a._horizon >> 44 < 2 and time.monotonic() < deadline:
            with contextlib.suppress(ConnectionLost):
                a.sync()
        assert a._horizon >> 44 == 2
        a._write_image()
        a.set("n", "y", 3)
        a.sync()
        a._write_image()  # the rows before the first image go
        assert psycopg.connect(server.conninfo).execute("SELECT count(*) FROM tallowmere_log").fetchone()[0] == 1
        while b.get("n", "y") != 3:  # b reconnects and follows by itself
            time.sleep(0.05)
        with connect(server.conninfo) as c:  # joins from the image and the rows after it
            assert state_of(a) == state_of(b) == state_of(c) == {"n": {"other": 0, "x": 0, "k": 1, "j": 0, "y": 3}}


@pytest.mark.parametrize("fault", ["none", "kill", "server crash"])
def test_processes_share_one_state(server, tmp_path, fault):
    from tallowmere.postgres import connect
    logs = [tmp_path / f"{w}.log" for w in range(4)]
    procs = [spawn("mix", server.conninfo, str(w), "40", str(logs[w])) for w in range(4)]
    if fault != "none":
        while not all(log.exists() for log in logs) or logs[0].read_text().count("\n") < 150:
            time.sleep(0.01)
        if fault == "kill":
            procs.pop(0).kill()
        else:
            server.stop(signal.SIGQUIT)
            server.start()
    assert [p.stdout.readline() for p in procs] == ["written\n"] * len(procs)
    finals = [json.loads(p.communicate("go\n", timeout=600)[0]) for p in procs]
    with connect(server.conninfo, "mix") as store:
        state = state_of(store)
    assert all(final == state for final in finals)
    calls = {}  # [me, kind, ...] of each call in order, with its outcome ("doubt" when unknown)
    for tag, *entry in (json.loads(line) for log in logs for line in log.read_text().splitlines()):
        if tag == "try":
            calls.setdefault(entry[0], []).append(entry + ["doubt"])
        else:
            calls[entry[0]][-1] = entry
    counted, claims = {None: 0, "doubt": 0, "conflict": 0}, {}
    for me, entries in calls.items():
        own = {}  # key -> the values it may hold: the last acknowledged one, or any in doubt after it
        for _, kind, *args, outcome in entries:
            if kind == "own":
                own[args[0]] = own.get(args[0], {None}) | {args[1]} if outcome == "doubt" else {args[1]}
            elif kind == "count":
                counted[outcome] += 1
            elif kind == "claim" and outcome is not False:
                claims.setdefault(args[0], []).append((outcome, me))
        assert all(state.get(me, {}).get(key) in values for key, values in own.items())
    assert counted[None] <= state["shared"]["counter"] <= counted[None] + counted["doubt"]
    for claim, outcomes in claims.items():
        winners = [me for outcome, me in outcomes if outcome is True]
        assert len(winners) <= 1 and state["claims"][claim] in (winners or [me for _, me in outcomes])


def test_langgraph_processes_take_turns(server):
    from langgraph.checkpoint.memory import InMemorySaver
    reference = build(InMemorySaver())
    procs = [spawn("graph", server.conninfo) for _ in range(2)]
    for turn, (thread, value) in enumerate([("t1", 1), ("t1", 2), ("t2", 5), ("t1", 3), ("t2", 1), ("t1", 4)]):
        proc = procs[turn % 2]  # the two processes take turns on the same threads
        print(thread, value, file=proc.stdin, flush=True)
        expected = reference.invoke({"total": value, "steps": []}, {"configurable": {"thread_id": thread}})
        assert json.loads(proc.stdout.readline()) == expected
    [proc.communicate("", timeout=60) for proc in procs]

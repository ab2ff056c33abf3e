#!/usr/bin/env python3
"""Instructions per call of the hot paths, counted by valgrind, against a committed baseline.

The wall clock of a shared machine swings by more than the regressions worth catching; an
instruction count does not. Each operation (dumps and loads of every payload of
bench/bench_codec.py, Store.set/get/set_many/get_many, HandoffGraph.route) runs in one
child process under `valgrind --tool=callgrind`: warmed up first, then N calls in a loop
that runs no bytecode (a deque of length 0 consuming a map), then the same loop around a
built-in that does nothing. Callgrind counts only inside those loops and writes one
profile per loop, so the count per call is (loop - empty loop) / N, the loop's own cost
taken out. The child starts from a fixed environment (PYTHONHASHSEED=0, automatic garbage
collection off) and imports no peer library, so neither their versions nor the caller's
shell move the counts.

    python scripts/instruction_counts.py            # compare with the baseline; exit 1 on growth
    python scripts/instruction_counts.py --write    # rewrite the baseline

Counts depend on the interpreter and the compiler: take the baseline with the interpreter
CI uses (python3.11) and a release build of the package installed in it. A baseline is
updated only in a commit of its own that says why the counts moved.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BASELINE = ROOT / "bench" / "instruction_counts.txt"
TOLERANCE = 0.03  # growth beyond this fraction of the baseline fails

CHILD = r"""
import gc, json, operator
from collections import deque
from itertools import repeat

bench = {"__name__": "bench_codec"}
exec(compile(BENCH_SOURCE, "bench_codec.py", "exec"), bench)
import tallowmere

def operations():
    # (name, function, arguments of one call, calls, or instead of repeating the
    # arguments a list of first arguments, one per call)
    ops = []
    for name, payload in bench["payloads"]().items():
        encoded = tallowmere.dumps(payload)
        calls = max(3, min(2000, 400_000 // (len(encoded) + 100)))
        ops.append((f"dumps {name}", tallowmere.dumps, (payload,), calls, None))
        if name == "500 non-ASCII strings":
            fresh = [bench["fresh_copy"](payload) for _ in range(calls)]
            ops.append((f"dumps {name}, fresh strings", tallowmere.dumps, (payload,), calls, fresh))
        ops.append((f"loads {name}", tallowmere.loads, (encoded,), calls, None))
    record = {"id": 17, "name": "planner", "active": True, "score": 0.5, "parent": None}
    store = tallowmere.Store()
    items = [("batch", f"item-{i:03d}", dict(record, id=i)) for i in range(100)]
    store.set_many(items)
    ops.append(("Store.set", store.set, ("threads", "t1", record), 2000, None))
    ops.append(("Store.get", store.get, ("threads", "t1"), 2000, None))
    ops.append(("Store.set_many 100", store.set_many, (items,), 40, None))
    ops.append(("Store.get_many 100", store.get_many, ([item[:2] for item in items],), 40, None))
    graph = tallowmere.HandoffGraph()
    graph.add_edge("planner", "escalate", when='user.tier == "gold" and retries >= 3')
    graph.add_edge("planner", "review", when='user.tier == "silver" or retries > 5')
    graph.add_edge("planner", "default", when="retries >= 0")
    state = {"user": {"tier": "bronze", "name": "ada", "history": list(range(50))}, "retries": 1,
             "messages": [record] * 20}
    ops.append(("HandoffGraph.route", graph.route, ("planner", state), 2000, None))
    return ops

# The empty loop: as many iterables, around a built-in that does next to nothing.
EMPTY = {1: (callable, (None,)), 2: (operator.is_, (None, None)), 3: (operator.setitem, ({}, "key", None))}

def columns(arguments, calls):
    return [repeat(argument, calls) for argument in arguments]

sink = deque(maxlen=0)  # consumes a map in C: no bytecode runs between calls
names = []
for name, function, arguments, calls, firsts in operations():
    for _ in range(20):
        function(*arguments)
    gc.collect()
    gc.disable()
    sink.extend(map(function, *(columns(arguments, calls) if firsts is None else [firsts])))
    stand_in, stand_in_arguments = EMPTY[len(arguments)]
    sink.extend(map(stand_in, *columns(stand_in_arguments, calls)))
    gc.enable()
    names.append((name, calls))
print(json.dumps(names))
"""


def run_child(python: str, extra_path: list[str]) -> dict[str, int]:
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed")
    bench = (ROOT / "bench" / "bench_codec.py").read_text()
    source = f"BENCH_SOURCE = {bench!r}\nimport sys\nsys.path[:0] = {extra_path!r}\n" + CHILD
    with tempfile.TemporaryDirectory(prefix="tm-counts-") as scratch:
        out = Path(scratch) / "cg"
        # A fixed environment: the child's heap layout (and so which cache slots its
        # objects share) then does not depend on the caller's shell.
        env = {"PATH": "/usr/bin:/bin", "PYTHONHASHSEED": "0", "LC_ALL": "C"}
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=deque_extend",
                   "--dump-after=deque_extend", "--dump-instr=no", "--dump-line=no",
                   f"--callgrind-out-file={out}", python, "-s", "-"]
        result = subprocess.run(command, input=source, env=env, cwd="/", capture_output=True, text=True)
        if result.returncode != 0:
            own = [line for line in result.stderr.splitlines() if not line.startswith("==")]
            sys.exit("the measuring child failed:\n" + "\n".join(own[-40:]))
        names = json.loads(result.stdout.strip().splitlines()[-1])
        loops = []
        for path in sorted(Path(scratch).glob("cg.*"), key=lambda p: int(p.suffix[1:])):
            text = path.read_text()
            if "Trigger: --dump-after=deque_extend" in text:
                loops.append(int(re.search(r"^totals: (\d+)", text, re.M).group(1)))
    if len(loops) != 2 * len(names):
        sys.exit(f"expected {2 * len(names)} counted loops, callgrind wrote {len(loops)}")
    return {name: round((loops[2 * i] - loops[2 * i + 1]) / calls) for i, (name, calls) in enumerate(names)}


def read_baseline(path: Path) -> dict[str, int]:
    counts = {}
    for line in path.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            count, name = line.split(maxsplit=1)
            counts[name] = int(count)
    return counts


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--write", action="store_true", help="rewrite the baseline with the counts measured now")
    parser.add_argument("--python", default=sys.executable, help="interpreter to measure (default: this one)")
    parser.add_argument("--path", action="append", default=[], help="directory put first on the child's sys.path")
    parser.add_argument("--tolerance", type=float, default=TOLERANCE)
    parser.add_argument("--baseline", type=Path, default=BASELINE, help="baseline file (default: %(default)s)")
    options = parser.parse_args()

    counts = run_child(options.python, options.path)
    if options.write:
        lines = ["# Instructions per call (scripts/instruction_counts.py). Update only in a commit that says why."]
        lines += [f"{count:>10}  {name}" for name, count in counts.items()]
        options.baseline.write_text("\n".join(lines) + "\n")
        print(f"wrote {options.baseline}")
        return 0
    baseline = read_baseline(options.baseline)
    failures = []
    print(f"{'baseline':>10} {'now':>10} {'change':>8}  operation")
    for name, count in counts.items():
        before = baseline.get(name)
        if before is None:
            failures.append(f"{name}: not in the baseline")
            print(f"{'-':>10} {count:>10} {'':>8}  {name}")
            continue
        change = count / before - 1
        print(f"{before:>10} {count:>10} {change:>+8.1%}  {name}")
        if change > options.tolerance:
            failures.append(f"{name}: {before} -> {count} ({change:+.1%})")
    failures += [f"{name}: in the baseline, no longer measured" for name in baseline.keys() - counts.keys()]
    if failures:
        print(f"\nbeyond {options.tolerance:.0%} of {options.baseline}:\n  " + "\n  ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""add_edge on a node that already holds many conditional edges: the cost of the next
edge should not depend on how many came before it.

Each node's edges read one path of their own (`p{i}.v == i`, the common shape), or
paths that a later, shorter path takes over (`q{i}.v.w`, then `q{i}`). Each round builds
a node with 50 and one with 2,000 such edges, then times 200 more on each; tables show
the median and range over the rounds of the time per added edge, and the median of
the per-round ratios 2,000 / 50 (1.00 = independent of what the node holds).

    python bench/bench_add_edge.py [--rounds N]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time

import tallowmere
from tallowmere import HandoffGraph

MEASURED = 200


def own_path(i: int) -> str:
    return f"p{i}.v == {i}"


def taken_over(i: int) -> str:
    # Odd edges read a prefix of the path the even edge before them read.
    return f"q{i // 2}.v.w == {i}" if i % 2 == 0 else f"q{i // 2} != {i}"


def per_edge_us(existing: int, condition) -> float:
    graph = HandoffGraph()
    for i in range(existing):
        graph.add_edge("hub", f"t{i}", condition(i))
    add_edge = graph.add_edge
    start = time.perf_counter_ns()
    for i in range(existing, existing + MEASURED):
        add_edge("hub", f"t{i}", condition(i))
    return (time.perf_counter_ns() - start) / MEASURED / 1000


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
          f"tallowmere {tallowmere.__version__}")
    for title, condition in (("own path each", own_path), ("paths taken over by shorter ones", taken_over)):
        small, large = [], []
        for _ in range(args.rounds):
            small.append(per_edge_us(50, condition))
            large.append(per_edge_us(2_000, condition))
        ratios = [b / s for s, b in zip(small, large)]
        print(f"\nadd_edge, conditional edges on one node: {title}")
        for name, samples in (("after 50 edges", small), ("after 2,000 edges", large)):
            print(f"  {name:<20}{statistics.median(samples):>9.2f} us  (range {min(samples):.2f}-{max(samples):.2f})")
        print(f"  ratio 2,000 / 50     {statistics.median(ratios):>9.2f}    (range {min(ratios):.2f}-{max(ratios):.2f})")


if __name__ == "__main__":
    sys.exit(main())

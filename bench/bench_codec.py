"""Codec speed: tallowmere's dumps/loads against msgpack, ormsgpack and msgspec.

All libraries run in this one process on the same payloads. Each round times a
batch of calls per library, in an order that rotates from round to round; the
table shows the median time per call and the median of the per-round ratios
library/tallowmere (above 1.00 means tallowmere is faster). Times are the CPU
time of this thread, so that other work on a shared machine does not count.

    python bench/bench_codec.py [--rounds N] [--only NAME,...]
"""

from __future__ import annotations

import argparse
import os
import platform
import random
import statistics
import string
import sys
import time

import tallowmere

# The peers are imported where they are timed, so that scripts/instruction_counts.py
# can take the payloads from here without loading them.


def checkpoint_payload() -> dict:
    rng = random.Random(7)
    messages = []
    for i in range(12):
        message = {
            "id": f"msg_{i:04d}_{rng.getrandbits(32):08x}",
            "role": ("user", "assistant", "tool")[i % 3],
            "content": " ".join(rng.choice(("plan", "search", "the", "result", "of", "tool", "call", "ok"))
                                for _ in range(rng.randint(5, 25))),
            "created_at": 1_700_000_000 + i * 37,
            "tokens": rng.randint(10, 900),
            "score": rng.random(),
        }
        if i % 3 == 1:
            message["tool_calls"] = [
                {"id": f"call_{i}_{k}", "name": "web_search", "arguments": {"query": "weather in Lyon", "top_k": 5}}
                for k in range(2)
            ]
        messages.append(message)
    return {
        "thread_id": "t-42",
        "step": 17,
        "messages": messages,
        "state": {"plan": ["search", "summarise", "answer"], "done": False, "budget": {"tokens": 12000, "usd": 0.42}},
        "metadata": {"source": "loop", "tags": ["a", "b"], "parent": None},
    }


def payloads() -> dict[str, object]:
    rng = random.Random(1)
    widths = (1 << 6, 1 << 12, 1 << 20, 1 << 40, 1 << 62)
    nested: object = 0
    for _ in range(100):
        nested = [nested]
    return {
        "small flat dict": {"id": 17, "name": "planner", "active": True, "score": 0.5, "parent": None},
        "agent checkpoint": checkpoint_payload(),
        "10k ints": [rng.randrange(-w, w) for w in widths for _ in range(2000)],
        "10k floats": [rng.random() * 1e6 for _ in range(10_000)],
        "1k ASCII strings": ["".join(rng.choices(string.ascii_letters, k=rng.randint(3, 20))) for _ in range(1000)],
        "500 non-ASCII strings": ["".join(rng.choices("ÄÖÜßéèçñøåłżš日本語テキスト", k=rng.randint(5, 30)))
                                  for _ in range(500)],
        "3 x 100 KB bytes": [rng.randbytes(100_000) for _ in range(3)],
        "list nested 100 deep": nested,
        "5k unique keys": {f"key_{i}_{rng.getrandbits(24):06x}": i for i in range(5000)},
    }


def fresh_copy(strings: list[str]) -> list[str]:
    # New str objects with no cached UTF-8 form, as a real program's strings would be.
    return [s.encode("utf-8").decode("utf-8") for s in strings]


def encoders():
    import msgpack, msgspec, ormsgpack

    ms_encoder = msgspec.msgpack.Encoder()
    return {
        "tallowmere": tallowmere.dumps,
        # Called directly (no wrapper frame): msgpack 1.x already defaults to
        # use_bin_type=True, raw=False; every payload here has str keys.
        "msgpack": msgpack.packb,
        "ormsgpack": ormsgpack.packb,
        "msgspec": ms_encoder.encode,
    }


def decoders():
    import msgpack, msgspec, ormsgpack

    ms_decoder = msgspec.msgpack.Decoder()
    return {
        "tallowmere": tallowmere.loads,
        "msgpack": msgpack.unpackb,
        "ormsgpack": ormsgpack.unpackb,
        "msgspec": ms_decoder.decode,
    }


def time_batch(function, argument, calls: int) -> float:
    start = time.thread_time_ns()
    for _ in range(calls):
        function(argument)
    return (time.thread_time_ns() - start) / calls


def time_fresh_batch(function, copies: list) -> float:
    start = time.thread_time_ns()
    for argument in copies:
        function(argument)
    return (time.thread_time_ns() - start) / len(copies)


def calls_for(function, argument, target_ns: float = 2e6) -> int:
    single = time_batch(function, argument, 3)
    return max(1, min(20_000, int(target_ns / max(single, 1.0))))


def measure(functions: dict, argument, rounds: int, fresh_strings: list | None = None) -> dict[str, tuple]:
    names = list(functions)
    calls = calls_for(functions["tallowmere"], argument)
    samples: dict[str, list[float]] = {name: [] for name in names}
    for round_index in range(rounds):
        order = names[round_index % len(names):] + names[:round_index % len(names)]
        for name in order:
            if fresh_strings is None:
                samples[name].append(time_batch(functions[name], argument, calls))
            else:
                copies = [fresh_copy(fresh_strings) for _ in range(min(calls, 200))]
                samples[name].append(time_fresh_batch(functions[name], copies))
    ours = samples["tallowmere"]
    return {
        name: (statistics.median(samples[name]), statistics.median(t / o for t, o in zip(samples[name], ours)))
        for name in names
    }


def machine() -> str:
    import msgpack, msgspec, ormsgpack

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} cores; CPython {platform.python_version()}; tallowmere {tallowmere.__version__}, "
            f"msgpack {'.'.join(map(str, msgpack.version))}, ormsgpack {ormsgpack.__version__}, "
            f"msgspec {msgspec.__version__}")


def format_ns(ns: float) -> str:
    return f"{ns / 1000:.2f} us" if ns < 1e6 else f"{ns / 1e6:.2f} ms"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=25)
    parser.add_argument("--only", default="", help="comma-separated payload names (substring match)")
    options = parser.parse_args()
    import msgpack

    cases = payloads()
    if options.only:
        wanted = [w.strip() for w in options.only.split(",")]
        cases = {k: v for k, v in cases.items() if any(w in k for w in wanted)}
    enc, dec = encoders(), decoders()
    peers = [name for name in enc if name != "tallowmere"]
    print(machine())
    print(f"{options.rounds} rounds; median thread CPU time per call; ratio = peer / tallowmere "
          f"(median of per-round ratios); load average {os.getloadavg()[0]:.1f}\n")
    header = f"| payload | op | tallowmere | " + " | ".join(peers) + " |"
    print(header)
    print("|" + "---|" * (3 + len(peers)))
    failures = []
    for name, payload in cases.items():
        encoded = tallowmere.dumps(payload)
        assert encoded == msgpack.packb(payload) and tallowmere.loads(encoded) == msgpack.unpackb(encoded)
        rows = [("dumps", measure(enc, payload, options.rounds)), ("loads", measure(dec, encoded, options.rounds))]
        if name == "500 non-ASCII strings":
            rows.insert(1, ("dumps, fresh strings", measure(enc, payload, options.rounds, fresh_strings=payload)))
        for op, result in rows:
            cells = [format_ns(result["tallowmere"][0])]
            cells += [f"{format_ns(result[p][0])} ({result[p][1]:.2f}x)" for p in peers]
            print(f"| {name} | {op} | " + " | ".join(cells) + " |")
            if result["msgpack"][1] < 1.0:
                failures.append(f"{name} {op}: msgpack is faster ({result['msgpack'][1]:.2f}x)")
        sys.stdout.flush()
    if failures:
        print("\nslower than msgpack on:\n  " + "\n  ".join(failures))
    return 0


if __name__ == "__main__":
    sys.exit(main())

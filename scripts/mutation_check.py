#!/usr/bin/env python3
"""Plants known faults one at a time and reports which of them the tests catch.

Each mutant is (file, exact original snippet, replacement, what it breaks). The tree is copied
once to a scratch directory (the source as it stands, uncommitted edits included) and built
there in one build directory; each mutant is applied to the copy, rebuilt incrementally and run
against the Python suite (-x) and then the C++ tests, and the file is put back before the next.

  killed        a test failed (or the run exceeded the time limit: a hang counts as caught)
  survived      every test passed with the fault in place
  did not build the mutant does not compile (counted apart from the score)

Runs on demand, not in CI:  python scripts/mutation_check.py [--only ID ...] [--keep DIR]
Use the interpreter of a virtual environment that has the test extra installed.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# (id, file, original, replacement, fault)
MUTANTS = [
    # codec: reader
    ("reader-budget", "src/codec/msgpack_reader.h", "if (presize) presize_budget -= count;",
     "if (presize) (void)presize_budget;", "presize budget never decremented"),
    ("reader-depth", "src/codec/msgpack_reader.h", "if (level > kMaxDepth) [[unlikely]]",
     "if (level > kMaxDepth + 1) [[unlikely]]", "off-by-one in the nesting limit"),
    ("reader-bound", "src/codec/msgpack_reader.h", "if (n > remaining()) [[unlikely]] {",
     "if (n > remaining() + 1) [[unlikely]] {", "off-by-one in the end-of-input check"),
    ("reader-int16", "src/codec/msgpack_reader.h", "builder.sint(static_cast<std::int16_t>(reader.be<2>()))",
     "builder.sint(static_cast<std::uint16_t>(reader.be<2>()))", "int16 read without sign extension"),
    ("reader-map16", "src/codec/msgpack_reader.h", "case 0xde:\n        count = reader.be<2>();",
     "case 0xde:\n        count = reader.be<1>();", "map16 count read with the wrong width"),
    # codec: Python decoder
    ("keycache-length", "src/codec/decode_py.cpp", "slot.size == bytes.size() && same_bytes",
     "same_bytes", "cached key matched without its length"),
    ("itemstack-grow", "src/codec/decode_py.cpp", "std::memcpy(grown, items_, size_ * sizeof(PyObject*));",
     "std::memcpy(grown, items_, (size_ - 1) * sizeof(PyObject*));", "growth drops the last pending item"),
    ("decode-gc", "src/codec/decode_py.cpp", "if (gc_was_enabled_) PyGC_Enable();", "",
     "garbage collection left disabled after a decode"),
    # codec: writer and Python encoder
    ("writer-fixint", "src/codec/msgpack_writer.h", "if (v <= 0x7f) {", "if (v <= 0x80) {",
     "off-by-one in the positive fixint bound"),
    ("writer-negfix", "src/codec/msgpack_writer.h", "if (v >= -32) {", "if (v >= -33) {",
     "off-by-one in the negative fixint bound"),
    ("writer-fixhdr", "src/codec/msgpack_writer.h", "if (n <= fix_max && fix_max != 0) {",
     "if (n <= fix_max + 1 && fix_max != 0) {", "off-by-one in fixstr/fixarray/fixmap headers"),
    ("writer-16", "src/codec/msgpack_writer.h", "if (n <= 0xffff) {", "if (n < 0xffff) {",
     "swapped comparison: 65535 takes the 32-bit form"),
    ("encode-utf8", "src/codec/codec_py.cpp", "if (utf8 == nullptr) throw PythonErrorSet{};", "",
     "missed error check on UTF-8 conversion"),
    ("encode-depth", "src/codec/codec_py.cpp",
     "const bool scalars_inline = depth + 1 <= kMaxDepth;\n  for_each_list_item",
     "const bool scalars_inline = depth <= kMaxDepth;\n  for_each_list_item", "off-by-one: scalars written one level too deep"),
    ("utf8-surrogate", "src/codec/utf8.cpp", "if (lead == 0xed) second_max = 0x9f;", "",
     "surrogates accepted as UTF-8"),
    ("utf8-overlong", "src/codec/utf8.cpp", "if (lead >= 0xc2 && lead <= 0xdf) {",
     "if (lead >= 0xc0 && lead <= 0xdf) {", "overlong two-byte forms accepted"),
    # store
    ("store-get-lock", "src/store/store.cpp",
     "ReadLock lock(shard.mutex);\n  if (const KeyMap* keys = shard.map.find(namespace_name)) {",
     "if (const KeyMap* keys = shard.map.find(namespace_name)) {", "dropped lock in get"),
    ("store-set-lock", "src/store/store.cpp", "  WriteLock lock(shard.mutex);\n  ShardWriter(shard).put(item);",
     "  ShardWriter(shard).put(item);", "dropped lock in set"),
    ("store-entries", "src/store/store.cpp", "  --shard.entries;\n  return true;", "  return true;",
     "entry count not decremented on delete"),
    ("store-lastkey", "src/store/store.cpp", "if (keys->size() == 1) {", "if (keys->size() == 0) {",
     "emptied namespace kept"),
    ("store-history", "src/store/store.cpp", "history_.size() > *max_history_", "history_.size() >= *max_history_",
     "off-by-one in history eviction"),
    ("store-snap-locks", "src/store/store.cpp",
     "for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = ReadLock(shards_[s].mutex);",
     "for (std::size_t s = 0; s + 1 < kShardCount; ++s) locks[s] = ReadLock(shards_[s].mutex);",
     "snapshot skips one shard's lock"),
    ("store-maxkey", "src/store/store.cpp", "*greatest < key", "key < *greatest", "swapped comparison in max_key"),
    ("store-restore-count", "src/store/store.cpp", "    shards_[s].entries = record.shard_entries[s];\n", "",
     "restore keeps the old entry count"),
    ("store-scan-stop", "src/store/store.cpp", "if (range.stop && !(name < *range.stop)) return;",
     "if (range.stop && *range.stop < name) return;", "scan's stop bound taken as inclusive"),
    ("store-bytes-sign", "src/store/store.cpp",
     "counter.fetch_sub(static_cast<std::uint64_t>(-delta), std::memory_order_relaxed);",
     "counter.fetch_add(static_cast<std::uint64_t>(-delta), std::memory_order_relaxed);",
     "byte count grows when a value shrinks"),
    ("hamt-release-order", "src/store/hamt_node.h", "node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1",
     "node->refs.fetch_sub(1, std::memory_order_relaxed) == 1", "wrong memory order releasing a node"),
    ("hamt-unique", "src/store/hamt_node.h", "node->refs.load(std::memory_order_acquire) == 1;",
     "node->refs.load(std::memory_order_acquire) <= 2;", "shared node taken as private (edited in place)"),
    ("hamt-slot", "src/store/hamt_node.h", "std::popcount(bitmap & (bit - 1))", "std::popcount(bitmap & bit)",
     "wrong slot index in a node"),
    ("hamt-root-collapse", "src/store/hamt.h", "if (depth == 0 && entry_n == 1 && child_n == 0) {",
     "if (depth == 0 && entry_n == 0 && child_n == 0) {", "last entry removed from the root mishandled"),
    ("hamt-inline", "src/store/hamt.h", "if (depth > 0 && entry_n == 2 && child_n == 0) {",
     "if (depth > 1 && entry_n == 2 && child_n == 0) {", "off-by-one: a two-entry node below the root kept"),
    ("diff-changed", "src/store/hamt_diff.h",
     "if (!same_stored_value(before.value, after.value)) both(after.key, before.value, after.value);",
     "both(after.key, before.value, after.value);", "unchanged values reported as changed"),
    ("diff-removed", "src/store/hamt_diff.h", "if (mine == nullptr || !equal(key, mine->key)) removed(key, value);",
     "if (mine == nullptr) removed(key, value);", "a key replaced by a different one in its slot not reported"),
    ("snapdiff-swap", "src/store/snapshot_diff.cpp", "if (!same_content(base_value, self_value))",
     "if (same_content(base_value, self_value))", "swapped test for changed values"),
    ("value-size-eq", "src/store/encoded_value.h", "if (a.size() != b.size()) return false;", "",
     "values compared without their sizes"),
    ("value-release-order", "src/store/encoded_value.h", "buffer_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1",
     "buffer_->refs.fetch_sub(1, std::memory_order_relaxed) == 1", "wrong memory order releasing a value"),
    # snapshot files
    ("file-torn-cut", "src/store/snapshot_file.cpp",
     "if (end != file_size && ::ftruncate(fd.get(), static_cast<off_t>(end)) != 0) {",
     "if (false && ::ftruncate(fd.get(), static_cast<off_t>(end)) != 0) {", "a delta appended behind a torn tail"),
    ("file-undo-partial", "src/store/snapshot_file.cpp",
     "if (::ftruncate(fd.get(), static_cast<off_t>(end)) == 0) (void)fsync_retrying(fd.get());", "",
     "a failed append leaves its partial record in the file"),
    ("file-temp-left", "src/store/snapshot_file.cpp", "if (!name_.empty()) ::unlink(name_.c_str());", "",
     "a failed save leaves its temporary file behind"),
    # condition language
    ("eval-le", "src/condition/evaluator.cpp", "case CmpOp::Le: return x <= y;", "case CmpOp::Le: return x < y;",
     "<= on numbers behaves as <"),
    ("eval-str-gt", "src/condition/evaluator.cpp", "case CmpOp::Gt: return order > 0;",
     "case CmpOp::Gt: return order >= 0;", "> on strings behaves as >="),
    ("eval-int-float", "src/condition/evaluator.cpp",
     "if (a.is_number() && b.is_number()) return a.to_double() == b.to_double();", "",
     "1 == 1.0 compared by kind"),
    ("eval-shortcircuit", "src/condition/evaluator.cpp", "== deciding) return boolean(deciding);",
     "!= deciding) return boolean(deciding);", "and/or short-circuit inverted"),
    ("parse-depth", "src/condition/parser.cpp",
     "if (depth > kMaxNesting) return Parsed::failure(kTooDeep);\n    return parse_chain",
     "if (depth > kMaxNesting + 2) return Parsed::failure(kTooDeep);\n    return parse_chain",
     "nesting limit checked too late"),
    ("lex-control", "src/condition/lexer.cpp", "if (byte < 0x20 || byte == 0x7F) {",
     "if (byte < 0x1f || byte == 0x7F) {", "off-by-one: control byte 0x1f accepted in a string"),
    ("lex-none", "src/condition/lexer.cpp", 'text == "none" || text == "None"', 'text == "none"',
     "None literal not recognised"),
    # graph
    ("graph-selfloop", "src/graph/graph.cpp", "  if (from == to) return true;\n", "", "self-loop not seen as a cycle"),
    ("graph-policy", "src/graph/graph.cpp", "if (policy_ == CyclePolicy::Error && would_close_cycle(from, to)) {",
     "if (policy_ == CyclePolicy::Allow && would_close_cycle(from, to)) {", "swapped cycle policy"),
    ("graph-topo", "src/graph/graph.cpp", "if (--in_degree[edge.to] == 0) ready.push_back(edge.to);",
     "if (--in_degree[edge.to] == 1) ready.push_back(edge.to);", "off-by-one in the acyclicity check"),
    ("graph-uncond", "src/graph/graph.cpp",
     "if (!edge.condition || condition::holds_in_slots(",
     "if (edge.condition && condition::holds_in_slots(", "unconditional edges never taken"),
    # LangGraph adapter
    ("lg-version-suffix", "python/tallowmere/langgraph.py", 'return f"{current_v + 1:032}.{random.random():016}"',
     'return f"{current_v + 1:032}.{0.5:016}"', "two forks of one thread get the same channel version"),
    ("lg-copy-name", "python/tallowmere/langgraph.py", "kind + target + name[len(kind) + len(source):]",
     "kind + target + name[len(kind) + len(source_thread_id):]", "copy_thread writes under mangled names"),
    ("lg-no-sync", "python/tallowmere/langgraph.py",
     "        if self._sync is not None:\n            self._sync()\n        configurable = config",
     "        configurable = config", "a worker reads a thread without catching up first"),
    # PostgreSQL sharing
    ("pg-no-exclusive", "python/tallowmere/postgres.py",
     "    PERFORM pg_advisory_xact_lock(LOCK_CLASS, s) FROM unnest(p_exclusive) s;\n", "",
     "a conditional write checks before the writes ordered ahead of it have committed"),
    ("pg-no-rebuild", "python/tallowmere/postgres.py", "rebuild = bool(fresh) and fresh[0] < self._top",
     "rebuild = False", "a row arriving below the newest tentative one is applied on top"),
    ("pg-horizon-stuck", "python/tallowmere/postgres.py", "if horizon is not None and horizon > self._horizon:",
     "if horizon is not None and horizon > self._horizon + (1 << 62):", "the base never moves: images stay empty"),
    ("pg-no-epoch", "python/tallowmere/postgres.py", "_POSITION = _EPOCH + ", "_POSITION = ",
     "positions ignore the server start: ids reused after a crash sort below seen ones"),
    # bindings
    ("access-shared", "src/py/access.h", "if (seen >= kExclusive - 1) return false;",
     "if (seen > kExclusive) return false;", "shared access granted while held exclusively"),
    ("access-order", "src/py/access.h", "void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }",
     "void release_exclusive() noexcept { state_.store(0, std::memory_order_relaxed); }",
     "wrong memory order releasing exclusive access"),
    ("graph-exclusive", "src/graph/graph_py.cpp",
     "    ExclusiveAccess access(state.access);\n    return body(state);",
     "    SharedAccess access(state.access);\n    return body(state);", "graph mutations take shared access"),
    ("graph-cache-reset", "src/graph/graph_py.cpp", "if (id < state.path_keys.size()) state.path_keys[id].reset();",
     "", "stale cached keys after add_edge"),
    ("graph-lookup-error", "src/graph/graph_py.cpp",
     "      if (found == nullptr) {\n        if (PyErr_Occurred()) throw PythonErrorSet{};",
     "      if (found == nullptr) {", "missed error check after a state lookup"),
    ("route-refill-shrink", "src/codec/codec_py.cpp",
     "  Value::Array& items = target.items();\n  items.resize(static_cast<std::size_t>(size));",
     "  Value::Array& items = target.items();\n"
     "  if (items.size() < static_cast<std::size_t>(size)) items.resize(static_cast<std::size_t>(size));",
     "a refilled routing context keeps the tail of a longer list routed before"),
    ("args-too-many", "src/py/args.cpp",
     "if (static_cast<std::size_t>(nargs) > count) raise_too_many(function, count, required, nargs);\n"
     "  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];",
     "if (static_cast<std::size_t>(nargs) > count + 1) raise_too_many(function, count, required, nargs);\n"
     "  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];", "off-by-one: one extra positional accepted"),
    ("args-duplicate", "src/py/args.cpp", "if (out[index] != nullptr) {", "if (false) {",
     "argument given twice not refused"),
    ("store-codec", "src/store/store_py.cpp", 'if (codec != "msgpack") raise(', 'if (codec.empty()) raise(',
     "unsupported codec name accepted"),
]

CORE_PREFIXES = ("src/codec/msgpack", "src/codec/utf8", "src/codec/value", "src/store/hamt", "src/store/store.",
                 "src/store/snapshot.", "src/store/snapshot_diff", "src/store/shard", "src/store/encoded",
                 "src/condition/", "src/graph/graph.", "src/common/")


def run(cmd, cwd, timeout, env=None):
    """(returncode, output); returncode None on timeout (the whole process group is stopped)."""
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out


def sync_tree(source: Path, copy: Path) -> None:
    """Makes `copy` hold the source tree (without .git and build/). Only files whose bytes differ are
    written, so they get a new modification time and a reused build recompiles exactly those (a mutated
    file put back has a newer time than its object, whatever the source's own time)."""
    for path in source.rglob("*"):
        relative = path.relative_to(source)
        if relative.parts[0] in (".git", "build") or "__pycache__" in relative.parts or not path.is_file():
            continue
        target = copy / relative
        data = path.read_bytes()
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
            shutil.copymode(path, target)


def first_failure(output: str) -> str:
    """The first failing test named in pytest's or ctest's output."""
    for line in output.splitlines():
        if line.startswith(("FAILED ", "ERROR ")):
            return line.split()[1].split("::", 1)[-1].split(" ")[0]
        if "***Failed" in line or "Subprocess aborted" in line or "Exception:" in line:
            return line.split(" - ")[0].split(":", 1)[-1].strip().split()[0]
    return "?"


class Tree:
    def __init__(self, copy: Path, timeout: float):
        self.copy, self.build, self.timeout = copy, copy / "build" / "mutants", timeout
        self.env = dict(os.environ, PYTHONPATH=str(copy / "python"))

    def configure(self):
        code, out = run(["cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja", "-DTALLOWMERE_MODULE=ON",
                         "-DTALLOWMERE_DEV=ON", "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
                        self.copy, 600)
        if code != 0:
            sys.exit("configure failed:\n" + out)

    def build_target(self, *targets) -> bool:
        code, _ = run(["cmake", "--build", str(self.build), "-j2", *(["--target", *targets] if targets else [])],
                      self.copy, 1800)
        if code != 0:
            return False
        if "_core" in targets or not targets:
            built = next(self.build.glob("_core*.so"))
            shutil.copy2(built, self.copy / "python" / "tallowmere" / built.name)
        return True

    def python_tests(self):
        return run([sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests/python"],
                   self.copy, self.timeout, self.env)

    def cpp_tests(self):
        return run(["ctest", "--test-dir", str(self.build), "-j2", "--stop-on-failure"], self.copy, self.timeout)

    def verdict(self, core_first: bool):
        """killed / survived / did not build, and which suite decided it."""
        steps = [("C++", ("",), self.cpp_tests), ("Python", ("_core",), self.python_tests)]
        if not core_first:
            steps.reverse()
        for name, targets, tests in steps:
            if not self.build_target(*[t for t in targets if t]):
                return "did not build", name
            code, out = tests()
            if code is None:
                return "killed", name + " (timeout)"
            if code != 0:
                return "killed", f"{name}: {first_failure(out)}"
        return "survived", ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="*", help="mutant ids to run")
    parser.add_argument("--keep", help="scratch directory to reuse (kept afterwards)")
    parser.add_argument("--timeout", type=float, default=300, help="seconds per test run before it counts as a hang")
    parser.add_argument("--list", action="store_true", help="check the snippets and list the mutants")
    args = parser.parse_args()

    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only]
    problems = [f"{m[0]}: snippet occurs {(ROOT / m[1]).read_text().count(m[2])} times in {m[1]}"
                for m in chosen if (ROOT / m[1]).read_text().count(m[2]) != 1]
    if problems:
        sys.exit("\n".join(problems))
    if args.list:
        for ident, path, _, _, fault in chosen:
            print(f"{ident:22} {path:32} {fault}")
        return

    scratch = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="tm-mutants-"))
    copy = scratch / "tree"
    copy.mkdir(parents=True, exist_ok=True)
    sync_tree(ROOT, copy)
    tree = Tree(copy, args.timeout)
    tree.configure()
    if tree.build_target() is False or tree.python_tests()[0] != 0 or tree.cpp_tests()[0] != 0:
        sys.exit("the unmutated tree does not build or pass its tests")

    results = []
    for ident, path, original, replacement, fault in chosen:
        target = copy / path
        text = target.read_text()
        started = time.monotonic()
        target.write_text(text.replace(original, replacement, 1))
        try:
            outcome, by = tree.verdict(core_first=path.startswith(CORE_PREFIXES))
        finally:
            target.write_text(text)
        results.append((ident, path, fault, outcome, by, time.monotonic() - started))
        print(f"{ident:22} {outcome:13} {results[-1][5]:4.0f}s  {fault}  [{by}]", flush=True)

    built = [r for r in results if r[3] != "did not build"]
    killed = [r for r in built if r[3] == "killed"]
    print("\n| mutant | file | fault | result | by |\n|---|---|---|---|---|")
    for ident, path, fault, outcome, by, _ in results:
        print(f"| {ident} | {path} | {fault} | {outcome} | {by} |")
    print(f"\nscore: {len(killed)}/{len(built)} killed ({len(results) - len(built)} did not build)")
    survivors = [r[0] for r in built if r[3] == "survived"]
    if survivors:
        print("survived:", " ".join(survivors))
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
    sys.exit(1 if survivors else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Plants known faults one at a time and reports which of them the tests catch.

Each mutant is (file, exact original snippet, replacement, what it breaks[, build]). The tree is
copied once to a scratch directory (the source as it stands, uncommitted edits included) and built
there; each mutant is applied to the copy, rebuilt incrementally and run against the Python suite
(-x) and then the C++ tests, and the file is put back before the next. A mutant that names a build
runs first where CI would see it: "tsan" (memory orders, locks) against the C++ tests named
*threads* built with ThreadSanitizer, "faults" (undo after a failed allocation) against the C++
tests built with allocation-failure injection; the ordinary suites follow if it survives there.

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

# (id, file, original, replacement, fault[, build])
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
    ("keycache-length", "src/codec/decode_py.cpp", "slot.size == bytes.size() && same_short_bytes",
     "same_short_bytes", "cached key matched without its length"),
    ("keycache-middle", "src/codec/short_bytes.h", "a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]",
     "a[0] == b[0] && a[n - 1] == b[n - 1]", "a cached key of 3 bytes matched without its middle byte"),
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
    ("encode-utf8", "src/codec/codec_py.cpp", "if (utf8 == nullptr) [[unlikely]]\n    throw PythonErrorSet{};", "",
     "missed error check on UTF-8 conversion"),
    ("encode-depth", "src/codec/codec_py.cpp",
     "if (items.size() != 0) check_depth(depth + 1);\n    for (Py_ssize_t i",
     "if (items.size() != 0) check_depth(depth);\n    for (Py_ssize_t i",
     "off-by-one: elements written one level too deep"),
    ("utf8-surrogate", "src/codec/utf8.cpp", "if (code < 0x800 || (code >> 11) == (0xd800 >> 11)) return 0;",
     "if (code < 0x800) return 0;", "surrogates accepted as UTF-8"),
    ("utf8-overlong", "src/codec/utf8.cpp", "if (lead < 0xc2 || (kBounded && left < 2)) return 0;",
     "if (lead < 0xc0 || (kBounded && left < 2)) return 0;", "overlong two-byte forms accepted"),
    ("text-ascii-test", "src/codec/decode_py.cpp", "high = first | middle | last;", "high = first | last;",
     "a non-ASCII byte in the middle of a 3-byte str missed"),
    ("text-latin1-bound", "src/codec/decode_py.cpp", "if (all_bits < 0x100) {", "if (all_bits < 0x200) {",
     "text past Latin-1 narrowed to Latin-1"),
    # store
    ("store-get-lock", "src/store/store.cpp",
     "ReadLock lock(shard.mutex);\n  if (const KeyMap* keys = shard.map.find(namespace_name)) {",
     "if (const KeyMap* keys = shard.map.find(namespace_name)) {", "dropped lock in get", "tsan"),
    ("store-set-lock", "src/store/store.cpp", "  WriteLock lock(shard.mutex);\n  ShardWriter(shard).put(item);",
     "  ShardWriter(shard).put(item);", "dropped lock in set", "tsan"),
    ("store-entries", "src/store/store.cpp", "  --shard.entries;\n  return true;", "  return true;",
     "entry count not decremented on delete"),
    ("store-lastkey", "src/store/store.cpp", "if (keys->size() == 1) {", "if (keys->size() == 0) {",
     "emptied namespace kept"),
    ("store-history", "src/store/store.cpp", "history_.size() > *max_history_", "history_.size() >= *max_history_",
     "off-by-one in history eviction"),
    ("store-snap-locks", "src/store/store.cpp",
     "for (std::size_t s = 0; s < kShardCount; ++s) locks[s] = ReadLock(shards_[s].mutex);",
     "for (std::size_t s = 0; s + 1 < kShardCount; ++s) locks[s] = ReadLock(shards_[s].mutex);",
     "snapshot skips one shard's lock", "tsan"),
    ("store-maxkey", "src/store/store.cpp", "*greatest < key", "key < *greatest", "swapped comparison in max_key"),
    ("store-restore-count", "src/store/store.cpp", "    shards_[s].entries = record.shard_entries[s];\n", "",
     "restore keeps the old entry count"),
    ("store-scan-stop", "src/store/store.cpp", "if (range.stop && !(name < *range.stop)) return false;",
     "if (range.stop && *range.stop < name) return false;", "scan's stop bound taken as inclusive"),
    ("store-bytes-sign", "src/store/store.cpp",
     "counter.fetch_sub(static_cast<std::uint64_t>(-delta), std::memory_order_relaxed);",
     "counter.fetch_add(static_cast<std::uint64_t>(-delta), std::memory_order_relaxed);",
     "byte count grows when a value shrinks"),
    ("store-atomic-undo", "src/store/store.cpp",
     "      if (buckets.begin[s] == buckets.begin[s + 1]) continue;\n      shards_[s].map = before[s];\n",
     "      if (buckets.begin[s] == buckets.begin[s + 1]) continue;\n",
     "an atomic batch stopped by a failed allocation stays half written", "faults"),
    ("hamt-release-order", "src/store/hamt_node.h", "node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1",
     "node->refs.fetch_sub(1, std::memory_order_relaxed) == 1", "wrong memory order releasing a node", "tsan"),
    ("hamt-unique", "src/store/hamt_node.h", "node->refs.load(std::memory_order_acquire) == 1;",
     "node->refs.load(std::memory_order_acquire) <= 2;", "shared node taken as private (edited in place)"),
    ("hamt-unwind", "src/store/hamt_node.h", "        destroy_entries(out, built);\n        node->~Node();",
     "        node->~Node();", "a node copy cut short by a failed allocation leaks its entries", "faults"),
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
     "buffer_->refs.fetch_sub(1, std::memory_order_relaxed) == 1", "wrong memory order releasing a value", "tsan"),
    ("store-add-many-present", "src/store/operation.cpp",
     "if (const KeyMap* keys = map.find(op.first); keys != nullptr && keys->find(op.second) != nullptr) return 0;",
     "(void)map;", "add and add_many overwrite a pair already present"),
    # snapshot files
    ("file-torn-cut", "src/persist/snapshot_file.cpp",
     "if (end != static_cast<std::uint64_t>(info.st_size)) {", "if (false) {", "a delta appended behind a torn tail"),
    ("file-undo-partial", "src/persist/snapshot_file.cpp", "if (truncate_to(fd.get(), end) == 0) (void)sync_data(fd.get());",
     "", "a failed append leaves its partial record in the file"),
    ("file-temp-left", "src/persist/replacement.cpp", "if (!temporary_.empty() && !committed_) ::unlink(temporary_.c_str());",
     "", "a failed save leaves its temporary file behind"),
    ("file-mark-edge", "src/persist/format.cpp", ": offset_ >= tolerant_from_;", ": offset_ > tolerant_from_;",
     "a torn tail that starts right at the mark is taken for damage"),
    # durable store
    ("log-put-back", "src/store/store_changes.cpp", "    } catch (...) {\n      put_back();\n      throw;", "    } catch (...) {\n      throw;",
     "a change whose record could not be written stays applied"),
    ("log-roll-back", "src/store/store_changes.cpp", "if (entry.position <= durable) continue;", "if (entry.position < durable) continue;",
     "a failed sync rolls back one synced change too many"),
    ("log-torn-cut", "src/persist/file_log.cpp", "if (state.torn && state.header.version == kVersion2) {", "if (false) {",
     "a reopened log appends behind its torn tail"),
    ("log-compact-tail", "src/persist/file_log.cpp",
     "    if (const int error = copy_range(file_.get(), from, end_, replacement.fd(), to, chunk); error != 0) {\n      throw io_error(error, \"copy\");\n    }\n    to += end_ - from;",
     "    to += 0;", "records appended during a compaction's last moments are dropped"),
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
    ("graph-undo", "src/graph/graph.cpp", "    forget_nodes_from(nodes_before);\n    throw;", "    throw;",
     "a failed add_edge keeps the nodes it added", "faults"),
    ("graph-uncond", "src/graph/graph.cpp",
     "if (!edge.condition || condition::holds_in_slots(",
     "if (edge.condition && condition::holds_in_slots(", "unconditional edges never taken"),
    # LangGraph adapter
    ("lg-version-suffix", "python/tallowmere/langgraph.py", 'return f"{current_v + 1:032}.{random.random():016}"',
     'return f"{current_v + 1:032}.{0.5:016}"', "two forks of one thread get the same channel version"),
    ("lg-copy-name", "python/tallowmere/langgraph.py", "target + name[len(source):]",
     "target + name[len(source_thread_id):]", "copy_thread writes under mangled names"),
    ("lg-filter-exact", "python/tallowmere/langgraph.py", "-_EXACT < value < _EXACT else None",
     "-_EXACT <= value <= _EXACT else None", "an integer of 2**53 compared through floats in the core"),
    ("lg-filter-missing", "python/tallowmere/langgraph.py", 'elif op == "$ne" or literal == "null":',
     "elif False:", "a missing field matches $ne or None in the core"),
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
    ("pg-no-epoch", "python/tallowmere/postgres.py", "CREATE UNLOGGED TABLE tallowmere_run", "CREATE TABLE tallowmere_run",
     "a crash recovery keeps the epoch: ids handed out again sort below seen ones"),
    # bindings
    ("graph-exclusive", "src/graph/graph_py.cpp",
     "    ExclusiveAccess access(state.access);\n    return body(state);",
     "    SharedAccess access(state.access);\n    return body(state);", "graph mutations take shared access"),
    ("graph-cache-reset", "src/graph/graph_py.cpp", "if (id < state.path_keys.size()) state.path_keys[id].reset();",
     "", "stale cached keys after add_edge"),
    ("graph-lookup-error", "src/graph/graph_py.cpp",
     "      if (found == nullptr) {\n        if (PyErr_Occurred()) throw PythonErrorSet{};",
     "      if (found == nullptr) {", "missed error check after a state lookup"),
    ("route-refill-shrink", "src/codec/codec_py.cpp",
     "    Value::Array& values = into_.items();\n    values.resize(size);",
     "    Value::Array& values = into_.items();\n    if (values.size() < size) values.resize(size);",
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

CORE_PREFIXES = ("src/codec/msgpack", "src/codec/utf8", "src/codec/short_bytes", "src/codec/value",
                 "src/store/hamt", "src/store/store.", "src/store/store_changes", "src/store/operation", "src/store/snapshot.",
                 "src/store/snapshot_diff", "src/store/shard", "src/store/encoded", "src/persist/",
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


# The C++ tests of the pure cores as CI builds them apart: (CMake options, ctest options, environment).
SPECIAL_BUILDS = {
    "tsan": (["-DTALLOWMERE_SANITIZE=thread", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], ["-R", "threads"],
             {"TSAN_OPTIONS": "halt_on_error=1"}),
    "faults": (["-DTALLOWMERE_FAULT_INJECTION=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], [], {}),
}


class SpecialBuild:
    """A C++-only build of the copy with one of SPECIAL_BUILDS' settings, in its own directory."""

    def __init__(self, tree: "Tree", name: str):
        self.tree, self.name, self.build = tree, name, tree.copy / "build" / f"mutants-{name}"
        self.cmake_options, self.ctest_options, env = SPECIAL_BUILDS[name]
        self.env = dict(os.environ, **env)

    def configure(self):
        code, out = run(["cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja", "-DTALLOWMERE_MODULE=OFF",
                         "-DTALLOWMERE_DEV=ON", *self.cmake_options], self.tree.copy, 600)
        if code != 0:
            sys.exit(f"configure of the {self.name} build failed:\n" + out)

    def build_and_test(self):
        """(returncode, output) as in run(); returncode "build" when the build fails."""
        code, out = run(["cmake", "--build", str(self.build), "-j2"], self.tree.copy, 3600)
        if code != 0:
            return "build", out
        return run(["ctest", "--test-dir", str(self.build), "-j2", "--stop-on-failure", *self.ctest_options],
                   self.tree.copy, self.tree.timeout, self.env)


class Tree:
    def __init__(self, copy: Path, timeout: float):
        self.copy, self.build, self.timeout = copy, copy / "build" / "mutants", timeout
        self.env = dict(os.environ, PYTHONPATH=str(copy / "python"))
        self.special = {}

    def configure(self, special_builds=()):
        code, out = run(["cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja", "-DTALLOWMERE_MODULE=ON",
                         "-DTALLOWMERE_DEV=ON", "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"],
                        self.copy, 600)
        if code != 0:
            sys.exit("configure failed:\n" + out)
        for name in special_builds:
            self.special[name] = SpecialBuild(self, name)
            self.special[name].configure()

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

    def verdict(self, core_first: bool, special: str | None = None):
        """killed / survived / did not build, and which suite decided it."""
        if special is not None:
            code, out = self.special[special].build_and_test()
            if code == "build":
                return "did not build", special
            if code is None:
                return "killed", f"{special} (timeout)"
            if code != 0:
                return "killed", f"{special}: {first_failure(out)}"
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

    chosen = [(*m, None)[:6] for m in MUTANTS if not args.only or m[0] in args.only]
    problems = [f"{m[0]}: snippet occurs {(ROOT / m[1]).read_text().count(m[2])} times in {m[1]}"
                for m in chosen if (ROOT / m[1]).read_text().count(m[2]) != 1]
    if problems:
        sys.exit("\n".join(problems))
    if args.list:
        for ident, path, _, _, fault, special in chosen:
            print(f"{ident:22} {path:32} {fault}" + (f"  [{special}]" if special else ""))
        return

    scratch = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="tm-mutants-"))
    copy = scratch / "tree"
    copy.mkdir(parents=True, exist_ok=True)
    sync_tree(ROOT, copy)
    tree = Tree(copy, args.timeout)
    tree.configure(sorted({m[5] for m in chosen if m[5]}))
    if tree.build_target() is False or tree.python_tests()[0] != 0 or tree.cpp_tests()[0] != 0:
        sys.exit("the unmutated tree does not build or pass its tests")
    for special in tree.special.values():
        if special.build_and_test()[0] != 0:
            sys.exit(f"the unmutated tree does not build or pass its tests in the {special.name} build")

    results = []
    for ident, path, original, replacement, fault, special in chosen:
        target = copy / path
        text = target.read_text()
        started = time.monotonic()
        target.write_text(text.replace(original, replacement, 1))
        try:
            outcome, by = tree.verdict(core_first=path.startswith(CORE_PREFIXES), special=special)
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

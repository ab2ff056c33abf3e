#!/usr/bin/env python3
"""Non-blank, non-comment lines of the product code and of the tests, and their ratio.

Code: src/ (C++ sources and headers, not the generated Unicode tables) and python/ (package and stubs).
Tests: tests/ (Python and C++). Comments: whole lines starting with # (Python) or // and /* ... */ (C++).
Usage: python scripts/count_lines.py [ROOT]
"""

import sys
from pathlib import Path


def count(path: Path) -> int:
    lines, in_block = 0, False
    for line in path.read_text(errors="replace").splitlines():
        text = line.strip()
        if not text:
            continue
        if path.suffix in (".py", ".pyi"):
            lines += not text.startswith("#")
            continue
        if in_block:
            in_block = "*/" not in text
            continue
        if text.startswith("/*"):
            in_block = "*/" not in text
            continue
        lines += not text.startswith("//")
    return lines


def total(root: Path, patterns) -> int:
    return sum(count(p) for pattern in patterns for p in root.glob(pattern) if p.is_file())


root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parents[1]
code = total(root, ["src/**/*.cpp", "src/**/*.h", "python/**/*.py", "python/**/*.pyi"])
tests = total(root, ["tests/**/*.py", "tests/**/*.cpp", "tests/**/*.h"])
print(f"code {code}  tests {tests}  tests/code {tests / code:.0%}")

#!/usr/bin/env bash
# Installs the test dependencies and runs every test: the Python suite against
# the installed package, then the C++ tests of the pure cores.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

# doctest (C++ test framework) is a Debian package; install it when missing and we may.
if [ ! -f /usr/include/doctest/doctest.h ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev) >/dev/null
fi

"$PYTHON" -m pip install -q ".[test]"
"$PYTHON" -m pytest -q -p no:cacheprovider tests/python

if [ -f /usr/include/doctest/doctest.h ]; then
  cmake -S . -B build/cpp-tests -G Ninja -DTALLOWMERE_MODULE=OFF -DTALLOWMERE_DEV=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/cpp-tests -j2
  ctest --test-dir build/cpp-tests --output-on-failure -j2
else
  echo "doctest-dev is not installed: C++ core tests skipped" >&2
fi

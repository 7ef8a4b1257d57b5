#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything, runs
# the C++ unit tests (also under AddressSanitizer and UBSan), installs the
# package with its test dependencies (pyproject.toml's "test" extra) and
# runs the Python tests.
#
# Python: the virtual environment that is active, or else the project's own
# in .venv, made on first use with the python3 on PATH (Debian's own
# python3 refuses installs into itself, PEP 668).
#
#   CELLVAULT_SKIP_SANITIZE=1   skip the sanitizer build (quicker local runs)
#   CELLVAULT_LARGE_TESTS=1     also run the tests that write very large files
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/bootstrap.sh --test
if [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python3" ]; then
  python=$VIRTUAL_ENV/bin/python3
else
  [ -x .venv/bin/python3 ] || python3 -m venv .venv
  python=$root/.venv/bin/python3
fi

echo "== C++ unit tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCELLVAULT_BUILD_TESTS=ON -DCELLVAULT_BUILD_BENCH=ON -DCELLVAULT_BUILD_MODULE=OFF -DCELLVAULT_WERROR=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

if [ "${CELLVAULT_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCELLVAULT_BUILD_TESTS=ON -DCELLVAULT_BUILD_MODULE=OFF -DCELLVAULT_SANITIZE=ON -DCELLVAULT_WERROR=ON >/dev/null
  cmake --build build/sanitize -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs"
fi

echo "== Python tests"
"$python" -m pip install -q --disable-pip-version-check ".[test]"
export CELLVAULT_TOOLS_DIR="$root/build/test/tests/cpp"
# Run from outside the source tree so that the installed package is tested.
cd "$root/tests/python"
"$python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/python"

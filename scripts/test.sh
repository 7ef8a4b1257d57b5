#!/usr/bin/env bash
# The one test command: installs what is missing, builds everything, runs
# the C++ unit tests (also under AddressSanitizer and UBSan), installs the
# package and runs the Python tests.
#
#   CELLVAULT_SKIP_SANITIZE=1   skip the sanitizer build (quicker local runs)
#   CELLVAULT_SKIP_FUZZ=1       skip the bounded fuzz runs
#   CELLVAULT_FUZZ_SECONDS=N    seconds per fuzz target (default 60)
#   CELLVAULT_LARGE_TESTS=1     also run the tests that write very large files
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/bootstrap.sh

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

if [ "${CELLVAULT_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== Fuzz targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer)"
  bash scripts/fuzz.sh all "${CELLVAULT_FUZZ_SECONDS:-60}"
fi

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check .
export CELLVAULT_TOOLS_DIR="$root/build/test/tests/cpp"
# Run from outside the source tree so that the installed package is tested.
cd "$root/tests/python"
python3 -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/python"

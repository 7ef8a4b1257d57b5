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
#   CELLVAULT_SKIP_FUZZ=1       skip the bounded fuzz runs
#   CELLVAULT_FUZZ_SECONDS=N    seconds per fuzz target (default 60)
#   CELLVAULT_LARGE_TESTS=1     also run the tests that write very large files
#   CELLVAULT_SKIP_BARE=1       skip building the wheel and trying it on a bare
#                               Debian root (scripts/test_bare_system.sh)
#   CELLVAULT_AARCH64_SYSROOT   arm64 OpenSSL and GoogleTest unpacked there, for the
#                               optional aarch64 build (see cmake/aarch64-linux-gnu.cmake)
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

echo "== C++ unit tests with the portable kernels only (as on a processor other than x86-64)"
cmake -S . -B build/portable -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCELLVAULT_BUILD_TESTS=ON -DCELLVAULT_BUILD_MODULE=OFF -DCELLVAULT_PORTABLE_ONLY=ON -DCELLVAULT_WERROR=ON >/dev/null
cmake --build build/portable -j "$jobs"
ctest --test-dir build/portable --output-on-failure -j "$jobs"

# Optional: the same build for 64-bit Arm, its tests run under qemu-user.
aarch64_root="${CELLVAULT_AARCH64_SYSROOT:-}"
if command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && command -v qemu-aarch64 >/dev/null 2>&1 &&
   { [ -f /usr/lib/aarch64-linux-gnu/libcrypto.a ] ||
     { [ -n "$aarch64_root" ] && [ -f "$aarch64_root/usr/lib/aarch64-linux-gnu/libcrypto.a" ]; }; }; then
  echo "== C++ unit tests built for aarch64, run under qemu-user"
  cmake -S . -B build/aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLVAULT_BUILD_TESTS=ON -DCELLVAULT_BUILD_MODULE=OFF \
    -DCELLVAULT_WERROR=ON >/dev/null
  cmake --build build/aarch64 -j "$jobs"
  # The random-source death tests re-execute themselves and install a
  # seccomp filter, neither of which qemu-user emulates.
  echo "(skipped under qemu-user: RandomDeathTest.*)"
  ctest --test-dir build/aarch64 --output-on-failure -j "$jobs" -E '^RandomDeathTest[.]'
else
  echo "== aarch64 build skipped: it needs g++-aarch64-linux-gnu, qemu-user and arm64 OpenSSL" \
    "and GoogleTest (multiarch, or unpacked under CELLVAULT_AARCH64_SYSROOT)"
fi

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
"$python" -m pip install -q --disable-pip-version-check ".[test]"
export CELLVAULT_TOOLS_DIR="$root/build/test/tests/cpp"
# Run from outside the source tree so that the installed package is tested.
cd "$root/tests/python"
"$python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/python"

echo "== The wheel (scripts/build_wheel.sh) on a bare Debian system"
cd "$root"
if [ "${CELLVAULT_SKIP_BARE:-0}" = 1 ]; then
  echo "skipped: CELLVAULT_SKIP_BARE=1"
else
  CELLVAULT_PYTHON="$python" CELLVAULT_CHECK_PYTHON="$python" bash scripts/test_bare_system.sh
fi

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
#
#   scripts/fuzz.sh TARGET|all [SECONDS]     (default 60 seconds per target)
#
# Targets: fuzz_container, fuzz_descriptor, fuzz_verify. Each starts from
# its committed seeds (tests/fuzz/corpus/TARGET, never written to) and the
# inputs it found in earlier runs (build/fuzz/corpus/TARGET); the two that
# read descriptors use the dictionary of its words, tests/fuzz/descriptor.dict. A crash, a
# leak, a hang longer than 30 s or a single allocation above 64 MiB (the
# inputs are at most 64 KiB, so that is far beyond any small multiple of
# the file) stops the run with the input saved under build/fuzz/crashes/
# and the status non-zero: commit it under tests/fuzz/regressions/TARGET/,
# where the unit tests replay it.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=${1:?usage: scripts/fuzz.sh TARGET|all [SECONDS]}
seconds=${2:-60}
[ "$targets" = all ] && targets="fuzz_container fuzz_descriptor fuzz_verify"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCELLVAULT_FUZZ=ON -DCELLVAULT_BUILD_MODULE=OFF -DCELLVAULT_WERROR=ON >/dev/null
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$jobs" --target $targets

for target in $targets; do
  echo "== fuzzing $target for $seconds s"
  mkdir -p "build/fuzz/corpus/$target" "build/fuzz/crashes/$target"
  log="build/fuzz/$target.log"
  dict=()
  case $target in
    fuzz_descriptor | fuzz_verify) dict=("-dict=tests/fuzz/descriptor.dict") ;;
  esac
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -malloc_limit_mb=64 -max_len=65536 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="build/fuzz/crashes/$target/" \
    "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  grep -E "(INITED|DONE) |number_of_executed_units|peak_rss|ERROR|SUMMARY|Test unit written" "$log" || true
  if [ "$status" != 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz: $target failed (status $status); the input is in build/fuzz/crashes/$target/" >&2
    exit 1
  fi
done

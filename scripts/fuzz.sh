#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (ASan + UBSan) into build-fuzz/ and
# runs each for FUZZ_SECONDS (default 10) from its seed corpus. Fails on the first harness
# that finds a crash, a leak, undefined behaviour or a violated property; the reproducer is
# left in build-fuzz/artifacts/.
#
#   FUZZ_SECONDS=60 scripts/fuzz.sh [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-fuzz
seconds=${FUZZ_SECONDS:-10}
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEN_FUZZ=ON \
  -DPEN_BUILD_MODULE=OFF -DPEN_BUILD_TESTS=OFF -DPEN_BUILD_BENCH=OFF >/dev/null

harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
  for src in tests/fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
targets=()
for h in "${harnesses[@]}"; do targets+=(--target "$h"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"

mkdir -p "$dir/artifacts"
for h in "${harnesses[@]}"; do
  # New inputs go to a scratch corpus; the checked-in seeds stay as they are.
  work="$dir/corpus/$h"
  mkdir -p "$work"
  echo "== $h (${seconds}s)"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    "$dir/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/$h-" "$work" "tests/fuzz/corpus/${h%_fuzz}" 2>"$dir/$h.log" \
    || { tail -n 60 "$dir/$h.log"; echo "fuzz.sh: $h failed; log in $dir/$h.log" >&2; exit 1; }
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$dir/$h.log" || true
done

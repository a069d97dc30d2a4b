#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (ASan + UBSan) into build-fuzz/ and
# runs each for FUZZ_SECONDS (default 10), or FUZZ_RUNS executions if that comes first, starting
# from its committed corpus in tests/fuzz/corpus/<name>. Fails on the first harness that finds a
# crash, a leak, undefined behaviour or a violated property; the reproducer is left in
# build-fuzz/artifacts/. With FUZZ_MERGE=1, the inputs of the run that reach new coverage are
# added to the committed corpus (libFuzzer's -merge=1, which keeps the corpus minimal).
# FUZZ_TIMEOUT (default 10) is the wall-clock seconds one input may take before it counts as a
# hang; raise it for a long campaign run at low priority beside other work.
# With --build-only, builds the harnesses and runs none.
#
#   FUZZ_SECONDS=600 FUZZ_RUNS=10000000 FUZZ_MERGE=1 nice -n 19 scripts/fuzz.sh [HARNESS...]
#   scripts/fuzz.sh --build-only [HARNESS...]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-fuzz
build_only=0
if [[ ${1:-} == --build-only ]]; then build_only=1; shift; fi
seconds=${FUZZ_SECONDS:-10}
runs=${FUZZ_RUNS:--1}
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEN_FUZZ=ON \
  -DPEN_BUILD_MODULE=OFF -DPEN_BUILD_TESTS=OFF -DPEN_BUILD_BENCH=OFF >/dev/null

harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
  for src in tests/fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
targets=()
for h in "${harnesses[@]}"; do targets+=(--target "$h"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
((build_only)) && exit 0

mkdir -p "$dir/artifacts"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1
for h in "${harnesses[@]}"; do
  # New inputs go to a scratch corpus; the committed one is only read (or merged into below).
  work="$dir/corpus/$h" seeds="tests/fuzz/corpus/${h%_fuzz}"
  mkdir -p "$work" "$seeds"
  echo "== $h (${seconds}s)"
  "$dir/$h" -max_total_time="$seconds" -runs="$runs" -timeout="${FUZZ_TIMEOUT:-10}" -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$h-" "$work" "$seeds" 2>"$dir/$h.log" \
    || { tail -n 60 "$dir/$h.log"; echo "fuzz.sh: $h failed; log in $dir/$h.log" >&2; exit 1; }
  grep -E '^stat::number_of_executed_units' "$dir/$h.log" || true
  grep -E '^#[0-9]+' "$dir/$h.log" | tail -n 1 || true
  if [[ ${FUZZ_MERGE:-0} == 1 ]]; then
    "$dir/$h" -merge=1 -timeout="${FUZZ_TIMEOUT:-10}" -rss_limit_mb=2048 "$seeds" "$work" 2>"$dir/$h.merge.log" \
      || { tail -n 20 "$dir/$h.merge.log"; exit 1; }
    grep -E 'MERGE-OUTER: [0-9]+ new files' "$dir/$h.merge.log" || true
  fi
done

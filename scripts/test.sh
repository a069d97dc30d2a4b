#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: C++ (plain, under ASan+UBSan and under
# ThreadSanitizer, fuzzed briefly),
# the reference UI's Node tests, and Python (Chromium included).
#
# The builds and the UI's npm install run side by side, their output shown as each ends; the
# tests then run one stage at a time, on cores the builds no longer take. Any failing stage
# fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/install-deps.sh browser learn  # Chromium for tests/python/test_browser.py; PyTorch for test_ppo.py

# Compiles go through ccache, with the cache in the checkout: the wheel test's own CMake build
# of the module (pip wheel, as a user runs it) then reuses the objects of build/ instead of
# compiling them a second time. Build trees configured before keep their own settings.
export CCACHE_DIR="$PWD/build-ccache" CMAKE_CXX_COMPILER_LAUNCHER=ccache

logs=build-logs
rm -rf "$logs" && mkdir -p "$logs"
declare -A pids=()
set -m  # each background stage gets a process group of its own, ended as a whole by the trap
# Ends the stages still running when the command stops early.
trap 'for p in "${pids[@]}"; do kill -- "-$p" 2>/dev/null || true; done' EXIT
stage_start() {  # NAME COMMAND...: runs COMMAND in the background, output in $logs/NAME.log
  local name=$1; shift
  (t0=$SECONDS status=0; "$@" || status=$?; echo "== $name: $((SECONDS - t0)) s"; exit "$status") \
    >"$logs/$name.log" 2>&1 &
  pids[$name]=$!
}
stage_end() {  # NAME: waits for the stage, shows its output, fails the command if it failed
  local name=$1 status=0
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  echo "== $name (ran in the background)"
  cat "$logs/$name.log"
  if ((status != 0)); then echo "test.sh: $name failed (exit $status)" >&2; exit "$status"; fi
}
timed() {  # NAME COMMAND...: runs COMMAND in the foreground and says how long it took
  local name=$1 t0=$SECONDS; shift
  echo "== $name"
  "$@"
  echo "== $name: $((SECONDS - t0)) s"
}

# The four C++ builds share the two cores: each leaves them idle at times (configuring,
# linking, its last big file), which the others fill.
stage_start "npm ci for the reference UI" npm ci --prefix ui --no-audit --no-fund --silent
stage_start "ASan+UBSan build" scripts/build.sh --sanitize
stage_start "TSan build" scripts/build.sh --tsan
stage_start "Fuzzing build" scripts/fuzz.sh --build-only
timed "Plain build" scripts/build.sh
for stage in "npm ci for the reference UI" "ASan+UBSan build" "TSan build" "Fuzzing build"; do
  stage_end "$stage"
done

timed "C++ tests" ctest --test-dir build --output-on-failure -j "$(nproc)"
timed "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer" \
  env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
# The first report fails the test; tests/tsan.supp lists the suppressed reports and why.
timed "C++ tests under ThreadSanitizer" \
  env TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$(nproc)"
timed "Fuzzing, 5 s per harness, from the committed corpora" env FUZZ_SECONDS=5 scripts/fuzz.sh
timed "Reference UI tests (Node)" node --test ui/test/
timed "Python tests" env PEN_BUILD_DIR="$PWD/build" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
echo "== All stages passed in $((SECONDS / 60)) min $((SECONDS % 60)) s"

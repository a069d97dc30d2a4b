#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: C++ (plain, under ASan+UBSan and under
# ThreadSanitizer, fuzzed briefly),
# the reference UI's Node tests, and Python (Chromium included).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/install-deps.sh browser  # Chromium for tests/python/test_browser.py
scripts/build.sh
scripts/build.sh --sanitize
scripts/build.sh --tsan

echo "== C++ tests"
ctest --test-dir build --output-on-failure -j "$(nproc)"
echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
echo "== C++ tests under ThreadSanitizer"
# The first report fails the test; tests/tsan.supp lists the suppressed reports and why.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$(nproc)"
echo "== Fuzzing, 5 s per harness, from the committed corpora"
FUZZ_SECONDS=5 scripts/fuzz.sh

echo "== Reference UI tests (Node)"
npm ci --prefix ui --no-audit --no-fund --silent
node --test ui/test/

echo "== Python tests"
PEN_BUILD_DIR="$PWD/build" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python

#!/usr/bin/env bash
# Configures and builds the module, the C++ tests and the benchmarks into build/.
# With --sanitize, builds the core and its C++ tests with ASan and UBSan into build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build; flags=()
if [[ ${1:-} == --sanitize ]]; then
  dir=build-asan; flags=(-DPEN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
cmake -S . -B "$dir" -DPython3_EXECUTABLE=/usr/bin/python3 "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"

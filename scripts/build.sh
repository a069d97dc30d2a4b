#!/usr/bin/env bash
# Configures and builds into build/: the module, the C++ tests and the benchmarks, or only the
# targets named. With --sanitize, builds the core and its C++ tests with ASan and UBSan into
# build-asan/; with --tsan, with ThreadSanitizer into build-tsan/.
#
#   scripts/build.sh [--sanitize | --tsan] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

# The plain build makes the module (so it names the Python it is for) and writes
# compile_commands.json for clang-tidy; the sanitizer builds make neither.
dir=build; flags=(-DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)
if [[ ${1:-} == --sanitize ]]; then
  dir=build-asan; flags=(-DPEN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
  shift
elif [[ ${1:-} == --tsan ]]; then
  dir=build-tsan; flags=(-DPEN_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  shift
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake -S . -B "$dir" "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"

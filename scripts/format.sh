#!/usr/bin/env bash
# Checks the C++ sources against .clang-format: lists each file that would change and fails if
# any would. With --fix, reformats them in place.
#
#   scripts/format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' \
  'tests/fuzz/*.cpp' 'tests/fuzz/*.hpp' 'bench/*.cpp')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
status=0
for f in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "$f"
    status=1
  fi
done
exit $status

#!/usr/bin/env bash
# Checks the C++ sources against .clang-format: lists each file that would change and fails if
# any would. With --fix, reformats them in place. Installs clang-format when it is missing
# (scripts/install-deps.sh tools).
#
#   scripts/format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/install-deps.sh tools
if ! command -v clang-format >/dev/null; then
  echo "format.sh: clang-format is not installed (Debian: apt-get install clang-format)" >&2
  exit 2
fi
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

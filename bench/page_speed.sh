#!/usr/bin/env bash
# Steps per second of the browser run of examples/train.py (one environment against the
# reference page in headless Chromium, environment 0 as the page) with the page of the working tree ("after")
# and the page of a git revision ("before"), alternating in one run so that both meet the same
# machine. Only ui/ differs between the two; the examples are the working tree's.
#
#   bash bench/page_speed.sh [REV=main] [ROUNDS=3] [EPISODES=4]
#
# Needs the module in build/ (scripts/build.sh py_engine_native) and ui/node_modules.
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-main}; rounds=${2:-3}; episodes=${3:-4}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for side in before after; do
  mkdir -p "$tmp/$side"
  cp -r examples "$tmp/$side/"
done
git archive "$rev" ui | tar -x -C "$tmp/before"
tar -c --exclude=node_modules ui | tar -x -C "$tmp/after"
for side in before after; do ln -s "$PWD/ui/node_modules" "$tmp/$side/ui/node_modules"; done

declare -A runs=([before]="" [after]="")
for ((r = 1; r <= rounds; r++)); do
  for side in before after; do
    line=$(PYTHONPATH="$PWD" /usr/bin/python3 "$tmp/$side/examples/train.py" --build "$PWD/build" \
      --render rgb_array --envs 1 --ui-dir "$tmp/$side/ui" --episodes "$episodes" --candles 1201 \
      | grep -o 'steps_per_s=[0-9]*')
    echo "round $r $side ${line}"
    runs[$side]+="${line#steps_per_s=} "
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
before=$(echo "${runs[before]}" | median)
after=$(echo "${runs[after]}" | median)
echo "median steps/s: before ($rev) $before, after (working tree) $after, after/before $(awk -v a="$after" -v b="$before" 'BEGIN {printf "%.2f", a / b}')"

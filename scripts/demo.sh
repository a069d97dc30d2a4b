#!/usr/bin/env bash
# Shows py_engine_native at work: installs what is missing (Debian 12), builds, and runs the
# training example (examples/train.py) against the reference UI, headless under Node or, with
# --browser, as the real page in Chromium. Ends with the run's summary line.
#
#   bash scripts/demo.sh [--browser] [--headed] [--screenshot FILE] [--episodes N]
#                        [other examples/train.py options]
#
# --screenshot FILE (implies --browser) saves a picture of the page taken during a training
# episode with trades; the demo ends by printing the path of every file it wrote.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

peer=headless; episodes=24; train_args=(); render=(); screenshot=""
while (($#)); do
  case "$1" in
    --browser) peer=browser; render=(--render rgb_array) ;;
    --headed) peer=browser; render=(--render human) ;;
    --screenshot) screenshot=${2:?--screenshot needs a file name}; shift ;;
    --episodes) episodes=${2:?--episodes needs a number}; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) train_args+=("$1") ;;
  esac
  shift
done
if [[ -n $screenshot ]]; then
  [[ $screenshot == /* ]] || screenshot="$here/$screenshot"  # relative to where the demo was started
  ((${#render[@]})) || { peer=browser; render=(--render rgb_array); }
  train_args+=(--screenshot "$screenshot")
fi

echo "== Installing what is missing"
if [[ $peer == browser ]]; then scripts/install-deps.sh browser; else scripts/install-deps.sh node; fi

echo "== Building"
scripts/build.sh py_engine_native  # the module is all the demo needs

# npm ci only when node_modules is missing or older than the lock file.
if [[ ! -f ui/node_modules/.package-lock.json || ui/package-lock.json -nt ui/node_modules/.package-lock.json ]]; then
  echo "== Installing the UI's Node packages"
  npm ci --prefix ui --no-audit --no-fund --silent
fi

echo "== Training 8 environments against the $peer UI"
/usr/bin/python3 examples/train.py --build build "${render[@]}" \
  --episodes "$episodes" --candles 1201 "${train_args[@]}"
if [[ -n $screenshot ]]; then
  if [[ -f $screenshot ]]; then echo "== Wrote $screenshot"; else echo "demo: no picture was saved at $screenshot" >&2; exit 1; fi
fi

#!/usr/bin/env bash
# Shows py_engine_native at work: installs what is missing (Debian 12), builds, and trains a
# PPO agent (examples/ppo.py) on the reference UI's trending market, 16 environments under the
# headless UI. Prints the trained agent against buy-and-hold and random actions on held-out test
# episodes and the path of the learning curve it drew. With --browser the trained agent then
# plays one test episode on the real page in Chromium.
#
#   bash scripts/demo.sh [--browser] [--headed] [--screenshot FILE] [other examples/ppo.py options]
#
# --screenshot FILE (implies --browser) saves a picture of the page near the end of that test
# episode, the agent's entries and exits on the chart; --headed shows the window where a display
# exists. The demo ends by printing the path of every file it wrote.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

peer=headless; train_args=(); replay=(); screenshot=""
while (($#)); do
  case "$1" in
    --browser) peer=browser ;;
    --headed) peer=browser; replay+=(--headed) ;;
    --screenshot) screenshot=${2:?--screenshot needs a file name}; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) train_args+=("$1") ;;
  esac
  shift
done
if [[ -n $screenshot ]]; then
  [[ $screenshot == /* ]] || screenshot="$here/$screenshot"  # relative to where the demo was started
  peer=browser; replay+=(--screenshot "$screenshot")
fi

echo "== Installing what is missing"
if [[ $peer == browser ]]; then scripts/install-deps.sh browser learn; else scripts/install-deps.sh node learn; fi

echo "== Building"
scripts/build.sh py_engine_native  # the module is all the demo needs

# npm ci only when node_modules is missing or older than the lock file.
if [[ ! -f ui/node_modules/.package-lock.json || ui/package-lock.json -nt ui/node_modules/.package-lock.json ]]; then
  echo "== Installing the UI's Node packages"
  npm ci --prefix ui --no-audit --no-fund --silent
fi

echo "== Training PPO on the trending market (16 environments, headless UI)"
/usr/bin/python3 examples/ppo.py --build build --market trend --out runs --name demo "${train_args[@]}"

if [[ $peer == browser ]]; then
  echo "== The trained agent on a test episode in Chromium"
  /usr/bin/python3 examples/ppo.py --build build --replay runs/demo.pt "${replay[@]}"
fi
echo "== Wrote $PWD/runs/demo.png (learning curve) and $PWD/runs/demo.pt (policy)"
if [[ -n $screenshot ]]; then
  if [[ -f $screenshot ]]; then echo "== Wrote $screenshot"; else echo "demo: no picture was saved at $screenshot" >&2; exit 1; fi
fi

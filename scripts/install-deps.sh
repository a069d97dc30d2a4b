#!/usr/bin/env bash
# Installs the Debian packages the project needs; skips what is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config ccache
  libboost1.81-dev libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
  python3 python3-dev python3-numpy python3-pytest python3-websockets
  python3-setuptools python3-wheel python3-venv python3-pip python3-mypy
  python3-distributed python3-dask
)
# Extra groups, asked for by name: "node" adds Node for the headless reference UI,
# "browser" adds what the real-browser tests need (Pillow reads the page's screenshots),
# "tools" the static checks (clang-format for scripts/format.sh, clang-tidy), "learn" what the
# PPO example needs (PyTorch, matplotlib for its learning curve, tqdm for its progress bar).
# With node or browser, ends by checking that the node found is recent enough for the UI.
node=0
for extra in "$@"; do
  case "$extra" in
    node) packages+=(nodejs npm); node=1 ;;
    browser) packages+=(chromium nodejs npm python3-pil); node=1 ;;
    tools) packages+=(clang-format clang-tidy) ;;
    learn) packages+=(python3-torch python3-matplotlib python3-tqdm) ;;
    *) echo "install-deps: unknown group '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  # Node may come from outside Debian; any working node/npm is good enough.
  if [[ $p == nodejs || $p == npm ]] && command -v "${p%js}" >/dev/null 2>&1; then continue; fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  sudo=""; [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Prints the version found, or what to do when it is too old.
if ((node)); then node "$(dirname "$0")/../ui/node-version.cjs"; fi

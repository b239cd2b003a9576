#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, non-interactively. Idempotent and quick
# when everything is already there.
set -euo pipefail

packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine wine64 googletest libbenchmark-dev python3 gnuplot-nox chromium xvfb
          clang libclang-rt-14-dev llvm-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

#!/usr/bin/env bash
# Builds everything and runs every test: pure logic natively under AddressSanitizer and UBSan,
# then the Windows build (plug-in, hook engine, stand-in game) under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
echo "== native pure-logic tests (ASan, UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
ctest --preset native -j "$jobs"

echo "== Windows build, tests under Wine"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
# The first Windows program creates the build tree's Wine prefix; do it once up front so no test
# pays for it. One Wine server then stays up for the whole run: a server that starts cold in the
# middle of a test (after idling out between two others) makes that test many times slower. The
# first program started on it also starts Wine's own background services; that program gets no
# output pipe, or the services would inherit it and keep test discovery waiting for its end.
build/windows/wine-run --version >/dev/null
export WINEPREFIX="$PWD/build/windows/wineprefix"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
build/windows/wine-run cmd.exe /c exit </dev/null >/dev/null 2>&1
ctest --preset windows -j "$jobs"

#!/usr/bin/env bash
# Builds the plug-in and the stand-in game, runs the game with the plug-in under Wine and shows
# what happened: the plug-in's log, then the camera smoothness and present pacing measurements.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" >/dev/null
build=build/windows
source scripts/wine-session.sh

demo=$(mktemp -d /tmp/framolt-demo.XXXXXX)
trap 'rm -rf "$demo"; wineserver -k 2>/dev/null || true' EXIT
cp -r "$build/game/GOG/." "$demo/"
cat >"$demo/QuarrenVelt.Framolt.ini" <<'INI'
[General]
Enabled=true
Diagnostics=true
[Telemetry]
Enabled=true
ReportIntervalSeconds=2
[Features]
RenderUnlock=true
PresentationLimiter=true
CameraInterpolation=true
[Timing]
TargetFPS=144
INI

echo "== The GOG stand-in game with the plug-in (render unlock, camera interpolation, limiter at 144 FPS)"
(cd "$demo" && "$OLDPWD/$build/wine-run" QuarrenVelt.exe --ticks 420 --frames frames.csv) || echo "(the game exited with status $?)"
echo
echo "== QuarrenVelt.Framolt.log"
cat "$demo/QuarrenVelt.Framolt.log"
echo
echo "== Camera smoothness: as shipped, render unlock only, render unlock + camera interpolation"
python3 bench/camera_judder.py --build-dir "$build" --png camera-judder.png
echo
echo "== Present pacing: the plug-in's limiter, a naive limiter, no limiter"
python3 bench/pacing.py --build-dir "$build"

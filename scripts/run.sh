#!/usr/bin/env bash
# Builds the plug-in and the stand-in game, runs the game with the plug-in under Wine and shows
# what happened: the plug-in's log, then the camera smoothness and present pacing measurements.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" >/dev/null
build=build/windows
# -- virtual display for the menu's window and cursor (before Wine starts, which binds to it)
source scripts/xvfb-session.sh
# --
source scripts/wine-session.sh

echo "== The GOG stand-in game with the plug-in (render unlock, camera interpolation, limiter at 144 FPS)"
python3 bench/framolt_runs.py --build-dir "$build" --feature RenderUnlock --feature PresentationLimiter \
  --feature CameraInterpolation --telemetry --interval 2 --target-fps 144 --keep-log demo.log -- --ticks 420
echo
# -- the log viewer on that run's log, as a player would see it
if command -v chromium >/dev/null; then
  viewer=$(mktemp -d /tmp/framolt-viewer.XXXXXX)
  cp dist/log-viewer.html demo.log "$viewer/"
  chromium --headless --no-sandbox --disable-gpu --allow-file-access-from-files --virtual-time-budget=10000 \
    --window-size=1300,2400 --screenshot="$PWD/log-viewer.png" "file://$viewer/log-viewer.html?log=demo.log" \
    >/dev/null 2>&1 && echo "== The log viewer on that log: log-viewer.png (the log itself: demo.log)"
  rm -rf "$viewer"
fi
# --
echo
echo "== Camera smoothness: as shipped, render unlock only, render unlock + camera interpolation"
python3 bench/camera_judder.py --build-dir "$build" --png camera-judder.png
echo
echo "== Entity and body smoothness: camera interpolation alone, then with HandsRootInterpolation and WorldRootInterpolation"
python3 bench/entity_judder.py --build-dir "$build"
echo
echo "== Skeletal poses: bone smoothness, the camera riding the head bone, cost (roots alone against poses)"
python3 bench/pose_judder.py --build-dir "$build"
echo
echo "== Present pacing: the plug-in's limiter, a naive limiter, no limiter"
python3 bench/pacing.py --build-dir "$build"
echo
# -- input previews
echo "== Input previews: mouse-look latency and accuracy, GUI cursor, cost (with and without)"
python3 bench/input_latency.py --build-dir "$build"
# --

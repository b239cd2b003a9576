#!/usr/bin/env bash
# Builds the plug-in and packs the zip a player downloads: build/release/QuarrenVelt.Framolt-VERSION.zip
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target QuarrenVelt.Framolt >/dev/null
python3 scripts/make_release.py --build-dir build/windows --out build/release

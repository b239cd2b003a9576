#!/usr/bin/env python3
"""A long run of the stand-in game with every feature this build makes available, uncapped.

The game's objects are created, moved, renamed and freed throughout where the stand-in offers that. Passes when
the game exits cleanly (no crash, no leaked value, every host function called exactly once per
call), at least the requested number of frames was presented, the process's private memory grew by
at most 1 MiB after warm-up, and the counters the plug-in logged agree with each other and with
what the game counted.

    python3 bench/soak.py --build-dir build/windows --frames 1000000
"""
import argparse
import math
import os
import re
import sys

import framolt_runs

# Richest first; a set the bootstrap refuses (a feature this build does not carry) gives way to the
# next. Keys the bootstrap refuses outright (unmapped features) are never asked for.
ROOTS_AND_POSES = {"HandsRootInterpolation": True, "WorldRootInterpolation": True, "HandsPoseInterpolation": True,
                   "RagdollPoseInterpolation": True}
ROOTS = {"HandsRootInterpolation": True, "WorldRootInterpolation": True}
BASE = {"RenderUnlock": True, "CameraInterpolation": True, "MouseOverlay": True, "ParticleInterpolation": True}
CANDIDATES = [dict(BASE, **ROOTS_AND_POSES), dict(BASE, **ROOTS), dict(BASE, HandsRootInterpolation=True), BASE]
GROWTH_LIMIT_KIB = 1024


def run(build_dir, features, args, timeout):
    ini = {"features": features, "telemetry": True, "diagnostics": True, "interval": 5}
    r = framolt_runs.run_game(build_dir, "soak", args, ini=ini, timeout=timeout, frames=False)
    summary = {}
    for line in r.stdout.splitlines():
        if line.startswith("standin: "):
            summary = dict(kv.split("=", 1) for kv in line[len("standin: "):].split() if "=" in kv)
    return r.exit_code, summary, r.log, r.stderr, r.wall_s


def counters_consistent(log, frames):
    """Problems found in the logged counters, against each other and the game's frame count."""
    problems = []
    swap = [tuple(int(x) for x in m) for m in
            re.findall(r"Swap cadence: samples=(\d+) .*100-250ms=(\d+), >250ms=(\d+), invalid=(\d+)", log)]
    presented = sum(s + over + invalid for s, _, over, invalid in swap)
    if presented > frames:
        problems.append(f"swap reports count {presented} presents, the game presented {frames}")
    if not swap:
        problems.append("no swap cadence report")
    camera = [tuple(int(x) for x in m) for m in re.findall(
        r"Camera cadence: frames=(\d+), modes\(euler/matrix\)=(\d+)/(\d+), applied=(\d+).*failures\(apply/restore\)=(\d+)/(\d+)",
        log)]
    last = 0
    for listener, euler, matrix, applied, _, restore in camera:
        if listener != euler + matrix:
            problems.append(f"camera frames {listener} != euler {euler} + matrix {matrix}")
        if applied > listener:
            problems.append(f"camera applied {applied} > frames {listener}")
        if restore:
            problems.append(f"{restore} camera restore failures")
        if listener < last:
            problems.append("camera frame count went backwards")
        last = listener
    if last > frames:
        problems.append(f"camera counted {last} listener frames, the game presented {frames}")
    return problems, presented, last


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--frames", type=int, default=1_000_000, help="presented frames to reach at least")
    parser.add_argument("--margin", type=float, default=1.15,
                        help="steps planned for this many times the frames the probe's rate promises")
    a = parser.parse_args()
    build_dir = os.path.abspath(a.build_dir)
    # The waiting start: the engine loop is entered through the render unlock, so every feature works
    # from the first frame (a live start is what bench/live_cycles.py exercises).
    world = ["--memory"] + extra_world_args(build_dir)
    features = None
    for candidate in CANDIDATES:
        code, s, log, stderr, wall = run(build_dir, candidate, world + ["--ticks", "120"], 120)
        if code == 0 and s.get("bootstrap-exit") == "0":
            features, fps = candidate, float(s["fps"])
            break
        print(f"feature set refused (bootstrap-exit={s.get('bootstrap-exit')}, game exit {code}): "
              f"{sorted(candidate)}")
    if features is None:
        print("no feature set started")
        return 1
    ticks = math.ceil(a.frames * a.margin / max(fps, 1.0) * 60.0)
    print(f"features: {', '.join(sorted(k for k, v in features.items() if v))}; "
          f"probe {fps:.0f} FPS, running {ticks} steps", flush=True)
    code, s, log, stderr, wall = run(build_dir, features, world + ["--ticks", str(ticks)], 7200)
    frames = int(s.get("frames", "0"))
    warm, end = int(s.get("private-kib-warm", "-1")), int(s.get("private-kib-end", "-1"))
    problems, presented, listener = counters_consistent(log, frames)
    if code != 0:
        problems.append(f"game exit {code}: {stderr.strip()[:300]}")
    if s.get("bootstrap-exit") != "0":
        problems.append(f"bootstrap-exit={s.get('bootstrap-exit')}")
    if s.get("violations") != "0" or s.get("host-calls-ok") != "1":
        problems.append(f"violations={s.get('violations')} host-calls-ok={s.get('host-calls-ok')}")
    if frames < a.frames:
        problems.append(f"only {frames} frames presented")
    if warm < 0 or end < 0 or end - warm > GROWTH_LIMIT_KIB:
        problems.append(f"private memory {warm} KiB after warm-up, {end} KiB at the end")
    errors = [l for l in log.splitlines() if " ERROR " in l or "[ERROR]" in l]
    print(f"frames={frames} seconds={wall:.0f} fps={s.get('fps')} steps={s.get('steps')} "
          f"private-kib warm/end={warm}/{end} (growth {end - warm} KiB)")
    print(f"log: swap-counted presents={presented}, camera listener frames={listener}, error lines={len(errors)}")
    for p in problems:
        print("FAILED " + p)
    print("soak " + ("failed" if problems else "passed"))
    return 1 if problems else 0


def extra_world_args(build_dir):
    """The stand-in's scenario with the most object churn: entities and bodies created, moved,
    renamed and freed (whatever of it this build of the stand-in carries)."""
    return ["--scenario", "world"]


if __name__ == "__main__":
    sys.exit(main())

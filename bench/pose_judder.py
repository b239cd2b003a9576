#!/usr/bin/env python3
"""Smoothness of drawn bones, the camera's ride on the head bone, and the cost of poses.

1. Bone judder: the stand-in's skeletons scenario (60 Hz fixed steps drawn at 240 Hz) with its draw
   log, roots interpolated alone against roots and poses. Judder of one bone is the standard deviation
   over the mean of its per-frame drawn displacement; the figure is the median over the drawn bones,
   then the median over the runs. The listener camera's judder in the same frames is printed beside
   it: uneven presents on a busy machine raise both alike.
2. Camera ride: the camera-ride scenario, where the game's script keeps the matrix-mode listener camera
   at a fixed offset from the body's head bone. Per presented frame, the distance between the drawn
   camera and the drawn head bone: its largest frame-to-frame change and its total wander (max - min),
   with poses (the camera rides the interpolated head bone) and with roots alone (camera and bones
   each interpolated or not on their own).
3. Cost: the skeleton-load scenario (the body and 32 props of 256 moving bones), the plug-in's time per
   listener frame (listener viewport call minus the host's own drawing) with poses and with roots
   alone, and the interpolation report's mean render apply and restore, medians of run medians.

A measurement, not a test: it never fails on figures.
"""
import argparse
import math
import os
import re
import statistics
import sys
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import run_game  # noqa: E402

ROOTS = {"RenderUnlock": True, "CameraInterpolation": True, "HandsRootInterpolation": True,
         "WorldRootInterpolation": True}
POSES = dict(ROOTS, HandsPoseInterpolation=True, RagdollPoseInterpolation=True)
CONFIGS = (("roots", ROOTS), ("poses", POSES))
HEAD = "PlayerBody_Model:5"
WARMUP_S = 0.5


def tracks_of(draws, kind):
    """{id: [(frame, present_s, (x, y, z))]} for one kind, past the warm-up."""
    if not draws:
        return {}
    start = draws[0][0] + WARMUP_S
    out = defaultdict(list)
    for present_s, frame, k, ident, x, y, z in draws:
        if k == kind and present_s >= start:
            out[ident].append((frame, present_s, (x, y, z)))
    return out


def spread(values):
    """Standard deviation over mean; None when there is no motion to judge."""
    values = [v for v in values if v == v]  # a NaN drawn by the game itself says nothing here
    if len(values) < 2 or statistics.fmean(values) <= 1e-9:
        return None
    return statistics.pstdev(values) / statistics.fmean(values)


def bone_judder(draws):
    """Median over moving bones of the judder of their per-frame drawn displacement."""
    values = [spread([math.dist(p[2], q[2]) for p, q in zip(points, points[1:])])
              for points in tracks_of(draws, "bone").values()]
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def camera_judder(frames):
    """The listener camera's own judder in the same frames: what uneven presents alone cause."""
    frames = [f for f in frames if f["present_s"] >= frames[0]["present_s"] + WARMUP_S]
    return spread([math.dist((p["x"], p["y"], p["z"]), (q["x"], q["y"], q["z"])) for p, q in zip(frames, frames[1:])])


def ride_distances(draws):
    """Camera-to-head distance per presented frame where both were drawn, in frame order."""
    camera = {f: p for f, _, p in tracks_of(draws, "camera").get("listener", [])}
    head = {f: p for f, _, p in tracks_of(draws, "bone").get(HEAD, [])}
    return [math.dist(camera[f], head[f]) for f in sorted(camera.keys() & head.keys())]


def ride_figures(distances):
    """(largest frame-to-frame change, total wander) of the distance."""
    if len(distances) < 2:
        return None
    change = max(abs(b - a) for a, b in zip(distances, distances[1:]))
    return change, max(distances) - min(distances)


def probe_means(log):
    """Mean render apply and restore (us) of every interpolation report in the log."""
    pattern = re.compile(r"render apply total/mean=[0-9.]+ ms/([0-9.]+) us; render restore total/mean=[0-9.]+ ms/"
                         r"([0-9.]+) us")
    return [(float(a), float(r)) for a, r in pattern.findall(log)]


def med(values):
    return statistics.median(values) if values else float("nan")


def runs_line(values, unit=""):
    return ", ".join(f"{v:.4g}{unit}" for v in sorted(values))


def measure_judder(build_dir, ticks, render_hz, runs, failures):
    args = ["--scenario", "skeletons", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    figures = defaultdict(list)
    for i in range(runs):
        for label, features in CONFIGS:
            run = run_game(build_dir, f"bones-{label}-{i}", args, ini={"features": features}, draw_log=True)
            if run.exit_code != 0:
                failures.append(f"[skeletons {label} {i}] exit {run.exit_code}: {run.stderr.strip()[:300]}")
            for name, value in (("bones", bone_judder(run.draws)), ("camera", run.frames and camera_judder(run.frames))):
                if value is not None:
                    figures[(label, name)].append(value)
    print(f"judder of drawn displacement per frame ({render_hz} Hz drawing of 60 Hz steps), median of {runs} runs:")
    for label, _ in CONFIGS:
        print(f"  {label:<6} bones {med(figures[(label, 'bones')]):.4f} (runs {runs_line(figures[(label, 'bones')])}),"
              f" listener camera {med(figures[(label, 'camera')]):.4f}")
    roots, poses = med(figures[("roots", "bones")]), med(figures[("poses", "bones")])
    if poses == poses and poses > 0:
        print(f"  poses at or under 0.12: {'yes' if poses <= 0.12 else 'no'}; {roots / poses:.1f}x lower than roots alone")


def measure_ride(build_dir, ticks, render_hz, runs, failures):
    args = ["--scenario", "camera-ride", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    changes, wanders = defaultdict(list), defaultdict(list)
    for i in range(runs):
        for label, features in CONFIGS:
            run = run_game(build_dir, f"ride-{label}-{i}", args, ini={"features": features}, draw_log=True)
            if run.exit_code != 0:
                failures.append(f"[camera-ride {label} {i}] exit {run.exit_code}: {run.stderr.strip()[:300]}")
            ride = ride_figures(ride_distances(run.draws))
            if ride is None:
                failures.append(f"[camera-ride {label} {i}] camera or head bone not drawn")
                continue
            changes[label].append(ride[0])
            wanders[label].append(ride[1])
    print("drawn camera to drawn head bone distance, median of runs:")
    for label, _ in CONFIGS:
        print(f"  {label:<6} largest change per frame {med(changes[label]):.6f}, total wander {med(wanders[label]):.6f}"
              f"  (per-frame runs {runs_line(changes[label])})")
    if changes["poses"]:
        print(f"  attached: per-frame change within 0.001: {'yes' if med(changes['poses']) <= 0.001 else 'no'}")


def measure_cost(build_dir, ticks, render_hz, runs, failures):
    # Long enough for an interpolation report (every 5 s of wall time).
    args = ["--scenario", "skeleton-load", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    frame_medians, apply_us, restore_us = defaultdict(list), [], []
    for i in range(runs):
        for label, features in CONFIGS:
            run = run_game(build_dir, f"cost-{label}-{i}", args, ini={"features": features})
            if run.exit_code != 0:
                failures.append(f"[skeleton-load {label} {i}] exit {run.exit_code}: {run.stderr.strip()[:300]}")
                continue
            frames = run.frames[len(run.frames) // 5:]
            cost = [f["listener_call_us"] - f["host_draw_us"] for f in frames]
            if cost:
                frame_medians[label].append(statistics.median(cost))
            if label == "poses":
                means = probe_means(run.log)
                if means:
                    apply_us.append(statistics.median(a for a, _ in means))
                    restore_us.append(statistics.median(r for _, r in means))
    print("32 props and the body, 256 moving bones each: plug-in time per listener frame, median of run medians:")
    for label, _ in CONFIGS:
        print(f"  {label:<6} {med(frame_medians[label]):.1f} us  (runs {runs_line(frame_medians[label], ' us')})")
    extra = med(frame_medians["poses"]) - med(frame_medians["roots"])
    print(f"  poses cost over roots alone: {extra:.1f} us per listener frame")
    if apply_us:
        print(f"  interpolation report, render apply + restore mean: {med(apply_us):.1f} + {med(restore_us):.1f} us "
              f"= {med(apply_us) + med(restore_us):.1f} us (roots and poses together)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--ticks", type=int, default=240)
    parser.add_argument("--cost-ticks", type=int, default=480)
    parser.add_argument("--render-hz", type=int, default=240)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", choices=["judder", "ride", "cost"], action="append")
    opts = parser.parse_args()
    failures = []
    parts = opts.only or ["judder", "ride", "cost"]
    if "judder" in parts:
        measure_judder(opts.build_dir, opts.ticks, opts.render_hz, opts.runs, failures)
    if "ride" in parts:
        measure_ride(opts.build_dir, opts.ticks, opts.render_hz, opts.runs, failures)
    if "cost" in parts:
        measure_cost(opts.build_dir, opts.cost_ticks, opts.render_hz, opts.runs, failures)
    for line in failures:
        print(line)


if __name__ == "__main__":
    main()

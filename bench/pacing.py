#!/usr/bin/env python3
"""Present pacing at a target rate: the plug-in's limiter against a naive limiter and no limiter.

For each target, runs of the stand-in game in steady camera motion at 60 Hz steps: the plug-in's
presentation limiter (render unlock and camera interpolation on, so the wait is placed around the
render-time sample), the stand-in pacing itself at the target with camera interpolation, the
stand-in's own naive limiter (Sleep of a whole number of milliseconds per frame) and the uncapped
loop. Prints the mean presented rate against the target, the median, p99 and maximum of
|present interval - 1/target|, the game process's CPU time per wall second, the camera judder (std
over mean of the drawn displacement per frame), the share of frames drawn at a clamped-high or
refused phase, and the mean sample-to-present delay.

--baseline-dll runs the plug-in rows a second time with another build of the DLL (say, one built
from main) in the same sitting, for a before/after comparison. --runs takes the median of several
runs per row. On a busy machine run it under a real-time priority (chrt -f 5 ...) for figures that
show the plug-in rather than the neighbours. A measurement, not a test: it never fails on figures.
"""
import argparse
import os
import re
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import judder, percentile, run_game  # noqa: E402


def pacing_figures(run, target, warmup_s=0.5):
    frames = run.frames
    if frames:
        frames = [f for f in frames if f["present_s"] >= frames[0]["present_s"] + warmup_s]
    times = [f["present_s"] for f in frames]
    intervals = [b - a for a, b in zip(times, times[1:])]
    if not intervals:
        return None
    period = 1.0 / target
    deviation_ms = [abs(i - period) * 1000.0 for i in intervals]
    figures = {
        "rate": 1.0 / statistics.fmean(intervals),
        "p50": statistics.median(deviation_ms),
        "p99": percentile(deviation_ms, 0.99),
        "max": max(deviation_ms),
        "cpu": run.cpu_s / run.wall_s if run.wall_s > 0 else float("nan"),
        "judder": judder(frames),
        "clamped": float("nan"),
        "delay": float("nan"),
        "phase": [line.split("] ", 2)[-1] for line in run.log.splitlines() if "Camera phase:" in line][-1:],
    }
    cadence = [line for line in run.log.splitlines() if "Camera cadence:" in line]
    m = re.search(r"frames=(\d+),.*phase-invalid=(\d+), alpha-low/high=(\d+)/(\d+)", cadence[-1]) if cadence else None
    if m and int(m.group(1)) > 0:
        figures["clamped"] = (int(m.group(2)) + int(m.group(4))) * 100.0 / int(m.group(1))
    delays = [float(d) for d in re.findall(r"Sample-to-present delay: frames=\d+ mean=([0-9.]+) ms", run.log)]
    if delays:
        figures["delay"] = statistics.fmean(delays)
    return figures


def with_dll(build_dir, dll, folder):
    """A build tree like build_dir whose game folders carry another plug-in DLL."""
    os.symlink(os.path.join(os.path.abspath(build_dir), "wine-run"), os.path.join(folder, "wine-run"))
    shutil.copytree(os.path.join(build_dir, "game"), os.path.join(folder, "game"), symlinks=True)
    for build in os.listdir(os.path.join(folder, "game")):
        shutil.copy(dll, os.path.join(folder, "game", build, "QuarrenVelt.Framolt.dll"))
    return folder


def median_figures(runs, target):
    figures = [f for f in (pacing_figures(r, target) for r in runs) if f is not None]
    if not figures:
        return None
    out = {k: statistics.median(f[k] for f in figures) for k in figures[0] if k != "phase"}
    out["phase"] = figures[-1]["phase"]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--ticks", type=int, default=360, help="fixed steps per run; the camera report needs 5 s")
    parser.add_argument("--targets", default="60,144,240")
    parser.add_argument("--runs", type=int, default=1, help="runs per row; figures are their medians")
    parser.add_argument("--baseline-dll", help="also run the plug-in rows with this QuarrenVelt.Framolt.dll")
    parser.add_argument("--no-reference", action="store_true", help="skip the naive and uncapped rows")
    opts = parser.parse_args()

    trees = [("plug-in", opts.build_dir)]
    scratch = None
    if opts.baseline_dll:
        scratch = tempfile.mkdtemp(prefix="framolt-baseline-")
        trees.insert(0, ("baseline", with_dll(opts.build_dir, opts.baseline_dll, scratch)))

    print(f"{'target':>6} {'run':<20}{'exit':>5}{'mean FPS':>10}{'err %':>8}{'p50 ms':>8}{'p99 ms':>8}"
          f"{'max ms':>8}{'CPU s/s':>8}{'judder':>8}{'clamp %':>8}{'delay ms':>9}")
    camera = {"RenderUnlock": True, "CameraInterpolation": True}
    try:
        for target in (int(t) for t in opts.targets.split(",")):
            base = ["--scenario", "steady", "--ticks", str(opts.ticks), "--render-hz", "0"]
            rows = []
            for label, tree in trees:
                limiter = {"features": dict(camera, PresentationLimiter=True), "telemetry": True, "interval": 2,
                           "target_fps": target}
                rows.append((f"{label} limiter", tree, base, limiter))
                paced = ["--scenario", "steady", "--ticks", str(opts.ticks), "--render-hz", str(target)]
                rows.append((f"{label} self-paced", tree, paced, {"features": camera}))
            if not opts.no_reference:
                rows.append(("naive", opts.build_dir, base + ["--naive-limit", str(target)],
                             {"features": {"RenderUnlock": True}}))
                rows.append(("uncapped", opts.build_dir, base, {"features": {"RenderUnlock": True}}))
            for label, tree, args, ini in rows:
                runs = [run_game(tree, f"pacing-{target}", args, ini=ini) for _ in range(opts.runs)]
                exit_code = max(r.exit_code for r in runs)
                f = median_figures(runs, target)
                if f is None:
                    print(f"{target:>6} {label:<20}{exit_code:>5}  (no frames) {runs[-1].stderr.strip()[:200]}")
                    continue
                err = (f["rate"] - target) / target * 100.0
                print(f"{target:>6} {label:<20}{exit_code:>5}{f['rate']:>10.2f}{err:>8.3f}{f['p50']:>8.3f}"
                      f"{f['p99']:>8.3f}{f['max']:>8.3f}{f['cpu']:>8.2f}{f['judder']:>8.3f}{f['clamped']:>8.1f}"
                      f"{f['delay']:>9.3f}")
                for line in f["phase"]:
                    print(f"{'':>25}{line}")
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()

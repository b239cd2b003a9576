#!/usr/bin/env python3
"""Present pacing at a target rate: the plug-in's limiter against a naive limiter and no limiter.

For each target, three runs of the stand-in game rendering faster than the target: the plug-in's
presentation limiter (render unlock on, camera interpolation on, so the wait sits before the
render-time sample), the stand-in's own naive limiter (Sleep of a whole number of milliseconds per
frame) and the uncapped loop. Prints the mean presented rate against the target, the median, p99
and maximum of |present interval - 1/target|, and the game process's CPU time per wall second.
A measurement, not a test: it never fails on figures.
"""
import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import percentile, run_game  # noqa: E402


def pacing_figures(run, target, warmup_s=0.5):
    times = [f["present_s"] for f in run.frames]
    if times:
        times = [t for t in times if t >= times[0] + warmup_s]
    intervals = [b - a for a, b in zip(times, times[1:])]
    if not intervals:
        return None
    period = 1.0 / target
    deviation_ms = [abs(i - period) * 1000.0 for i in intervals]
    return {
        "rate": 1.0 / statistics.fmean(intervals),
        "p50": statistics.median(deviation_ms),
        "p99": percentile(deviation_ms, 0.99),
        "max": max(deviation_ms),
        "cpu": run.cpu_s / run.wall_s if run.wall_s > 0 else float("nan"),
        "delay": [line for line in run.log.splitlines() if "Sample-to-present delay" in line][-1:],
        "cadence": [line for line in run.log.splitlines() if "Swap cadence" in line][-1:],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--ticks", type=int, default=240)
    parser.add_argument("--targets", default="60,144,240")
    opts = parser.parse_args()

    print(f"{'target':>6} {'limiter':<10}{'exit':>5}{'mean FPS':>10}{'err %':>8}{'p50 ms':>9}{'p99 ms':>9}"
          f"{'max ms':>9}{'CPU s/s':>9}")
    for target in (int(t) for t in opts.targets.split(",")):
        base = ["--scenario", "steady", "--ticks", str(opts.ticks), "--render-hz", "0"]
        runs = [
            run_game(opts.build_dir, f"plugin-{target}", base,
                     ini={"features": {"RenderUnlock": True, "PresentationLimiter": True, "CameraInterpolation": True},
                          "telemetry": True, "interval": 2, "target_fps": target}),
            run_game(opts.build_dir, f"naive-{target}", base + ["--naive-limit", str(target)],
                     ini={"features": {"RenderUnlock": True}}),
            run_game(opts.build_dir, f"uncapped-{target}", base, ini={"features": {"RenderUnlock": True}}),
        ]
        for run, label in zip(runs, ("plug-in", "naive", "uncapped")):
            f = pacing_figures(run, target)
            if f is None:
                print(f"{target:>6} {label:<10}{run.exit_code:>5}  (no frames) {run.stderr.strip()[:200]}")
                continue
            err = (f["rate"] - target) / target * 100.0
            print(f"{target:>6} {label:<10}{run.exit_code:>5}{f['rate']:>10.2f}{err:>8.2f}{f['p50']:>9.3f}"
                  f"{f['p99']:>9.3f}{f['max']:>9.3f}{f['cpu']:>9.2f}")
            for line in f["cadence"] + f["delay"]:
                print(f"{'':>17}{line.split('] ', 2)[-1]}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Smoothness and cost of particle interpolation, measured from outside the plug-in.

Runs the stand-in's particle scene with 60 Hz fixed steps drawn at 240 Hz, with camera
interpolation alone and with particle interpolation too, several times each. Prints the judder
of the tracked particles in steady motion (standard deviation over mean of the drawn position's
per-frame displacement, read from the draw log) and the plug-in's own time per particle draw as its
report gives it, and the camera's judder in the same runs for comparison. The cost rows run the
stand-in's particle-cost scene, a single emitter of 4096 particles, so that the report's own time
per interpolated draw is what one 4096-particle draw costs. --baseline-dll runs the
particle rows a second time with another build of the DLL in the same sitting, alternated, for a
before/after comparison; on a busy machine run it under a real-time priority (chrt -f 5 ...). A
measurement, not a test: it never fails on figures.
"""
import argparse
import collections
import os
import re
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import judder, run_game  # noqa: E402
from pacing import with_dll  # noqa: E402

# Tracked particles whose emitters move steadily and are blended (see the stand-in's particle scene).
STEADY = ["fountain:0", "fountain:1", "worker:0", "big4096:4095", "crowd0:0"]
# Particles of the scene's emitters that are blended in a frame (fountain, burst, 4096, worker, 8 of
# the crowd, the fault emitters).
PARTICLES_BLENDED_PER_FRAME = 64 + 32 + 4096 + 64 + 8 * 8 + 4 * 16
REPORT = re.compile(r"Particle interpolation: ticks=\d+, emitter motion updates=\d+, emitter draws "
                    r"total/interpolated/not-recently-updated=\d+/(\d+)/\d+, particles interpolated=(\d+), "
                    r".*own CPU total=([0-9.]+) ms\.")


def particle_judder(run, particle, warmup_s=0.5):
    rows = [d for d in run.draws if d[2] == "particle" and d[3] == particle]
    if not rows:
        return float("nan")
    rows = [d for d in rows if d[0] >= rows[0][0] + warmup_s]
    steps = [((b[4] - a[4]) ** 2 + (b[5] - a[5]) ** 2 + (b[6] - a[6]) ** 2) ** 0.5 for a, b in zip(rows, rows[1:])]
    if len(steps) < 2 or statistics.fmean(steps) == 0:
        return float("nan")
    return statistics.pstdev(steps) / statistics.fmean(steps)


def own_cost(run):
    """(microseconds per interpolated draw, nanoseconds per particle) summed over the run's reports."""
    draws = particles = 0
    ms = 0.0
    for m in REPORT.finditer(run.log):
        draws += int(m.group(1))
        particles += int(m.group(2))
        ms += float(m.group(3))
    if draws == 0 or particles == 0:
        return float("nan"), float("nan")
    return ms * 1000.0 / draws, ms * 1e6 / particles


def report_intervals(run):
    """Microseconds per interpolated draw in each of the run's reports, one per 5 s interval."""
    return [float(m.group(3)) * 1000.0 / int(m.group(1)) for m in REPORT.finditer(run.log) if int(m.group(1)) > 0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--ticks", type=int, default=360)
    parser.add_argument("--render-hz", type=int, default=240)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--baseline-dll", help="also run the particle rows with this QuarrenVelt.Framolt.dll")
    parser.add_argument("--only", choices=["judder", "cost"], help="run one of the two scenes")
    opts = parser.parse_args()
    scenes = ["judder", "cost"] if opts.only is None else [opts.only]
    scratch = tempfile.mkdtemp(prefix="framolt-baseline-") if opts.baseline_dll else None
    baseline = with_dll(opts.build_dir, opts.baseline_dll, scratch) if scratch else None
    try:
        if "judder" in scenes:
            judder_scene(opts, baseline)
        if "cost" in scenes:
            cost_scene(opts, baseline)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def scene_runs(opts, baseline, scenario, draw_log=False):
    """Yields (row, particle interpolation on, run) for every completed run of the scene; the rows
    are alternated, so that every kind of run sees the machine's load alike."""
    args = ["--scenario", scenario, "--ticks", str(opts.ticks), "--render-hz", str(opts.render_hz)]
    features = {"RenderUnlock": True, "CameraInterpolation": True}
    rows = [("camera only", opts.build_dir, False), ("particles", opts.build_dir, True)]
    if baseline:
        rows.insert(1, ("baseline", baseline, True))
    for i in range(opts.runs):
        for name, tree, particles in rows:
            run = run_game(tree, f"{scenario}-{name.replace(' ', '-')}-{i}", args,
                           ini={"features": dict(features, ParticleInterpolation=particles)}, draw_log=draw_log)
            if run.exit_code != 0:
                print(f"[{scenario} {name} {i}] exit {run.exit_code}: {run.stderr.strip()[:400]}")
                continue
            yield name, particles, run


def print_draw_costs(draw_us, what):
    """The particle detours run inside the listener's draw: the median draw time with and without
    them tells their cost per frame, and a median is not moved by preemption."""
    base = draw_us.get("camera only")
    for name, values in draw_us.items():
        if base and values and name != "camera only":
            a, b = statistics.median(base), statistics.median(values)
            print(f"listener draw ({name}), median of run medians: {a:.1f} us without, {b:.1f} us with particle "
                  f"interpolation: {b - a:.1f} us per frame {what}")


def cost_scene(opts, baseline):
    draw_us = collections.defaultdict(list)
    own_us = collections.defaultdict(list)
    interval_us = collections.defaultdict(list)
    for name, particles, run in scene_runs(opts, baseline, "particle-cost"):
        draw_us[name].append(statistics.median(f["host_draw_us"] for f in run.frames))
        if particles:
            own_us[name].append(own_cost(run)[0])
            interval_us[name].extend(report_intervals(run))
    print(f"one emitter of 4096 particles, {opts.render_hz} Hz, median of {opts.runs} runs:")
    for name, values in own_us.items():
        print(f"plug-in own time ({name}; its report): {statistics.median(values):.2f} us per draw "
              f"(runs {', '.join(f'{v:.2f}' for v in values)})")
    # The machine's neighbours come and go within a sitting: its quietest report shows what a draw
    # costs when they leave the caches alone.
    for name, values in interval_us.items():
        if values:
            ordered = sorted(values)
            print(f"  its {len(ordered)} report intervals: quietest {ordered[0]:.2f}, median "
                  f"{statistics.median(ordered):.2f}, busiest {ordered[-1]:.2f} us per draw; "
                  f"{sum(v <= 10.0 for v in ordered)} at or under 10 us")
    print_draw_costs(draw_us, "for one draw of 4096 particles")


def judder_scene(opts, baseline):
    judders = collections.defaultdict(list)
    camera_judders = collections.defaultdict(list)
    draw_us = collections.defaultdict(list)
    costs = collections.defaultdict(list)
    for name, particles, run in scene_runs(opts, baseline, "particles", draw_log=True):
        judders[name].append(statistics.median(particle_judder(run, p) for p in STEADY))
        draw_us[name].append(statistics.median(f["host_draw_us"] for f in run.frames))
        if particles:
            costs[name].append(own_cost(run))
            start = run.frames[0]["present_s"] + 0.5 if run.frames else 0.0
            camera_judders[name].append(judder([f for f in run.frames if f["present_s"] >= start]))

    print(f"particle judder, median of {', '.join(STEADY)} per run, 60 Hz steps drawn at {opts.render_hz} Hz:")
    for name, values in judders.items():
        if values:
            print(f"  {name:<12} median {statistics.median(values):.3f} (runs {', '.join(f'{v:.3f}' for v in values)})")
    if judders.get("camera only") and judders.get("particles"):
        a, b = statistics.median(judders["camera only"]), statistics.median(judders["particles"])
        if b > 0:
            print(f"  particle interpolation is {a / b:.1f}x smoother")
    for name, values in camera_judders.items():
        if values:
            # Uneven presents on a loaded machine raise every judder alike; the camera of the same
            # runs shows what part of the particles' judder is the machine's.
            print(f"  the camera in the {name} runs: median {statistics.median(values):.3f} "
                  f"(runs {', '.join(f'{v:.3f}' for v in values)})")
    print_draw_costs(draw_us, f"for the scene's {PARTICLES_BLENDED_PER_FRAME} blended particles "
                              "(4096 of them in one emitter)")
    for name, values in costs.items():
        if values:
            per_draw = statistics.median(c[0] for c in values)
            per_particle = statistics.median(c[1] for c in values)
            print(f"plug-in own time ({name}; its report, wall time between its counter reads): median "
                  f"{per_draw:.2f} us per interpolated draw of this scene's mix, {per_particle:.2f} ns per "
                  f"particle (runs: {', '.join(f'{c[1]:.2f}' for c in values)} ns per particle)")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Smoothness of every drawn kind (hands, body, held, scripted, inspection, Newton bodies).

Runs the stand-in game's steady-world scenario (every kind in steady motion, 60 Hz fixed steps, 240 Hz
rendering) with its draw log, as render unlock with camera interpolation alone and with
HandsRootInterpolation and WorldRootInterpolation on, several times each. Judder of one object is
the standard deviation over the mean of its per-frame drawn displacement; a kind's figure is the
median over its objects, and the figure printed is the median over the runs. A measurement, not a
test: it never fails on figures.

Then the cost at full load (282 registered roots of 4 nodes, 256 moving bodies): the plug-in's time
per listener frame (the listener viewport's call minus the host's own drawing), median of the run
medians, camera interpolation alone against hands and world roots; and the plug-in's own CPU probe
(render apply and restore means of its interpolation reports), median of the run medians.

Last, the fixed cost of the entity path with nothing registered: the camera-only steady scenario
with Diagnostics off, camera interpolation alone against hands and world roots, runs alternated.
"""
import argparse
import os
import re
import statistics
import sys
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import judder, run_game  # noqa: E402

KINDS = ["hands", "body", "held", "scripted", "inspection", "newton"]
CAMERA = {"RenderUnlock": True, "CameraInterpolation": True}
ROOTS = dict(CAMERA, HandsRootInterpolation=True, WorldRootInterpolation=True)


def judder_per_kind(draws, warmup_s=0.5):
    """{kind: median over its objects of std/mean of per-frame displacement}."""
    if not draws:
        return {}
    start = draws[0][0] + warmup_s
    tracks = defaultdict(list)
    for present_s, _frame, kind, ident, x, y, z in draws:
        if present_s >= start:
            tracks[(kind, ident)].append((x, y, z))
    per_kind = defaultdict(list)
    for (kind, _ident), points in tracks.items():
        steps = [((b[0] - a[0]) ** 2 + (b[1] - a[1]) ** 2 + (b[2] - a[2]) ** 2) ** 0.5
                 for a, b in zip(points, points[1:])]
        steps = [d for d in steps if d == d]  # a NaN drawn by the game itself says nothing here
        if len(steps) < 2 or statistics.fmean(steps) <= 1e-9:
            continue  # not moving: no judder to speak of
        per_kind[kind].append(statistics.pstdev(steps) / statistics.fmean(steps))
    return {kind: statistics.median(values) for kind, values in per_kind.items()}


def measure(build_dir, ticks, render_hz, runs):
    args = ["--scenario", "steady-world", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    figures = {"camera": defaultdict(list), "roots": defaultdict(list)}
    failures = []
    for i in range(runs):
        for label, features in (("camera", CAMERA), ("roots", ROOTS)):
            run = run_game(build_dir, f"{label}-{i}", args, ini={"features": features}, draw_log=True)
            if run.exit_code != 0:
                failures.append(f"[{label} {i}] exit {run.exit_code}: {run.stderr.strip()[:300]}")
            for kind, value in judder_per_kind(run.draws).items():
                figures[label][kind].append(value)
            # The listener camera of the same frames, for scale: its judder bounds what any object can reach.
            frames = [f for f in run.frames if run.frames and f["present_s"] >= run.frames[0]["present_s"] + 0.5]
            figures[label]["camera"].append(judder(frames))
    return figures, failures


def report(figures):
    """Prints one line per kind; returns {kind: (camera-only, with roots)} medians."""
    print(f"{'kind':<12}{'camera only':>13}{'with roots':>12}{'smoother':>10}")
    out = {}
    for kind in KINDS + ["camera"]:
        a = figures["camera"].get(kind)
        b = figures["roots"].get(kind)
        if not a or not b:
            print(f"{kind:<12}{'(not drawn)':>13}")
            continue
        ma, mb = statistics.median(a), statistics.median(b)
        ratio = f"{ma / mb:.1f}x" if mb > 0 else "-"
        print(f"{kind:<12}{ma:>13.3f}{mb:>12.3f}{ratio:>10}")
        out[kind] = (ma, mb)
    return out


PROBE = re.compile(r"Interpolation CPU probe: .*?render apply total/mean=[0-9.]+ ms/([0-9.]+) us; "
                   r"render restore total/mean=[0-9.]+ ms/([0-9.]+) us")


def probe_means(log):
    """(apply, restore) mean microseconds of each interpolation report that timed any frame."""
    out = []
    for m in PROBE.finditer(log):
        apply_us, restore_us = float(m.group(1)), float(m.group(2))
        if apply_us > 0 or restore_us > 0:
            out.append((apply_us, restore_us))
    return out


def listener_cost(run):
    if run.exit_code != 0:
        print(f"[{run.name}] exit {run.exit_code}: {(run.stderr.strip() or run.stdout.strip())[-300:]}")
    frames = run.frames[len(run.frames) // 5:]
    return [f["listener_call_us"] - f["host_draw_us"] for f in frames]


def print_medians(title, medians):
    for label, values in medians.items():
        if values:
            print(f"{title}, {label:<6}: median of {len(values)} run medians "
                  f"{statistics.median(values):.1f} us (runs {', '.join(f'{v:.1f}' for v in sorted(values))})")


def cost_at_full_load(build_dir, ticks, render_hz, runs):
    args = ["--scenario", "full-load", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    medians = {"camera": [], "roots": []}
    probe = {"apply": [], "restore": [], "sum": []}
    for i in range(runs):
        for label, features in (("camera", CAMERA), ("roots", ROOTS)):
            run = run_game(build_dir, f"cost-{label}-{i}", args, ini={"features": features})
            cost = listener_cost(run)
            if run.exit_code == 0 and cost:
                medians[label].append(statistics.median(cost))
            means = probe_means(run.log) if label == "roots" and run.exit_code == 0 else []
            if means:
                probe["apply"].append(statistics.median(a for a, _ in means))
                probe["restore"].append(statistics.median(r for _, r in means))
                probe["sum"].append(statistics.median(a + r for a, r in means))
    print_medians("full-load plug-in time per listener frame", medians)
    print_medians("full-load CPU probe (report means)", probe)


def cost_when_empty(build_dir, ticks, render_hz, runs):
    """Camera path alone against the entity path installed with nothing registered."""
    args = ["--scenario", "steady", "--ticks", str(ticks), "--render-hz", str(render_hz)]
    medians = {"camera": [], "roots": []}
    for i in range(runs):
        for label, features in (("camera", CAMERA), ("roots", ROOTS)):
            run = run_game(build_dir, f"empty-{label}-{i}", args, ini={"features": features, "diagnostics": False})
            cost = listener_cost(run)
            if run.exit_code == 0 and cost:
                medians[label].append(statistics.median(cost))
    print_medians("empty-load plug-in time per listener frame (Diagnostics off)", medians)
    if medians["camera"] and medians["roots"]:
        pairs = [b - a for a, b in zip(medians["camera"], medians["roots"])]
        print(f"empty-load entity path over the camera path: median of paired runs {statistics.median(pairs):+.2f} us "
              f"(pairs {', '.join(f'{v:+.2f}' for v in sorted(pairs))})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--ticks", type=int, default=300)
    parser.add_argument("--render-hz", type=int, default=240)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cost-runs", type=int, default=3)
    parser.add_argument("--cost-ticks", type=int, default=720, help="steps of a full-load run (reports come every 5 s)")
    parser.add_argument("--empty-runs", type=int, default=5)
    parser.add_argument("--cost-only", action="store_true", help="skip the judder runs")
    opts = parser.parse_args()
    if opts.cost_only:
        cost_at_full_load(opts.build_dir, opts.cost_ticks, opts.render_hz, opts.cost_runs)
        cost_when_empty(opts.build_dir, opts.ticks, opts.render_hz, opts.empty_runs)
        return
    figures, failures = measure(opts.build_dir, opts.ticks, opts.render_hz, opts.runs)
    medians = report(figures)
    medians.pop("camera", None)
    target = [k for k, (a, b) in medians.items() if b <= 0.12 and a >= 10 * b]
    print(f"kinds at or under 0.12 and at least 10x smoother with root interpolation: {len(target)} of {len(medians)}"
          f" ({', '.join(target) if target else 'none'})")
    for line in failures:
        print(line)
    cost_at_full_load(opts.build_dir, opts.cost_ticks, opts.render_hz, opts.cost_runs)
    cost_when_empty(opts.build_dir, opts.ticks, opts.render_hz, opts.empty_runs)


if __name__ == "__main__":
    main()

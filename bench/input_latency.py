"""How much sooner the picture answers the hand with the input previews, measured on the stand-in.

Mouse-look: 60 Hz steps drawn at 240 Hz with the hand turning yaw only, always the same way, so each
frame's drawn yaw tells how many counts it shows. A count's latency is the time from its arrival to
the first presented frame whose yaw reflects it. Accuracy: for each step whose counts had all
arrived before the last frame ahead of it, that frame's yaw against where the step put the camera,
in shares of the step's turn; overshoot: on the look track's reversals, how far a frame's yaw goes
beyond the two steps around it, in shares of a step's turn. GUI cursor: per presented frame, the
distance between the drawn GUI cursor and the OS cursor. Cost: the plug-in's time per listener
frame with the previews against without; --baseline-dll adds menu runs with another build of the
DLL (say, one built from main) in the same sitting. Prints figures; never fails on them.
"""
import argparse
import bisect
import csv
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from framolt_runs import percentile, run_game  # noqa: E402
from pacing import with_dll  # noqa: E402

FEATURES = {"RenderUnlock": True, "CameraInterpolation": True}
BASE_ARGS = ["--tick-hz", "60", "--render-hz", "240", "--scenario", "steady"]


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(build_dir, name, overlay, scenario, ticks, draw_log=False):
    folder = tempfile.mkdtemp(prefix="framolt-input-")
    log_path = os.path.join(folder, "input.csv")
    args = BASE_ARGS + ["--ticks", str(ticks), "--input", scenario, "--input-log", windows_path(log_path)]
    features = dict(FEATURES, MouseOverlay=overlay)
    r = run_game(build_dir, name, args, ini={"features": features}, draw_log=draw_log)
    reports, steps = [], []
    if os.path.exists(log_path):
        with open(log_path, newline="") as f:
            for row in csv.DictReader(f):
                if row["kind"] == "report":
                    reports.append((float(row["t_s"]), int(row["x"])))
                else:
                    steps.append((float(row["t_s"]), int(row["step"]), int(row["x"]), float(row["yaw"])))
        os.remove(log_path)
    os.rmdir(folder)
    if r.exit_code != 0:
        print(f"  ({name}: the game exited with {r.exit_code}: {r.stderr.strip()})")
    return r, reports, steps


def latencies(frames, reports, steps):
    """Seconds from each count's arrival to the first frame whose yaw shows it."""
    delivered = sum(s[2] for s in steps)
    if not delivered or not steps:
        return []
    per_count = steps[-1][3] / delivered  # yaw per count: the host's gain times its scale
    shown = [(f["present_s"], f["yaw"] / per_count) for f in frames]
    times = [t for t, _ in shown]
    # The most counts any frame from i on shows, so each count finds its first frame in one search.
    out, total = [], 0
    for t, dx in reports:
        for _ in range(dx):
            total += 1
            i = bisect.bisect_left(times, t)
            while i < len(shown) and shown[i][1] < total - 0.5:
                i += 1
            if i < len(shown):
                out.append(shown[i][0] - t)
    return out


def lead_errors(frames, reports, steps, sample_before_present=0.003):
    """|drawn yaw - the step's yaw| / |the step's turn| at the last frame ahead of each clean step."""
    last_frame = {}
    for f in frames:
        last_frame[int(f["steps"])] = f
    arrivals = [t for t, _ in reports]
    errors = []
    for i in range(30, len(steps)):
        turn = steps[i][3] - steps[i - 1][3]
        frame = last_frame.get(i)
        if abs(turn) < 1e-3 or frame is None:
            continue
        sampled = frame["present_s"] - sample_before_present
        j = bisect.bisect_right(arrivals, sampled)
        if j < len(arrivals) and arrivals[j] <= steps[i][0]:
            continue  # counts that arrived after the frame was drawn
        errors.append(abs(frame["yaw"] - steps[i][3]) / abs(turn))
    return errors


def reversal_overshoots(frames, steps):
    """At direction reversals: how far a frame's yaw goes beyond the steps around it, per step's turn."""
    yaw = {s[1]: s[3] for s in steps}
    out = []
    for f in frames:
        k = int(f["steps"])
        if k - 1 not in yaw or k + 1 not in yaw or k not in yaw:
            continue
        before, now, after = yaw[k] - yaw[k - 1], yaw[k], yaw[k + 1] - yaw[k]
        if before * after >= 0 or max(abs(before), abs(after)) < 1e-3:
            continue
        lo, hi = min(now, yaw[k + 1], yaw[k - 1]), max(now, yaw[k + 1], yaw[k - 1])
        beyond = max(0.0, f["yaw"] - hi, lo - f["yaw"])
        out.append(beyond / max(abs(before), abs(after)))
    return out


def cursor_distances(draws):
    frames = {}
    for _, frame, kind, _, x, y, _ in draws:
        frames.setdefault(frame, {})[kind] = (x, y)
    return [max(abs(f["cursor"][0] - f["oscursor"][0]), abs(f["cursor"][1] - f["oscursor"][1]))
            for f in frames.values() if "cursor" in f and "oscursor" in f]


def plugin_us(frames):
    return statistics.median(f["listener_call_us"] - f["host_draw_us"] for f in frames) if frames else float("nan")


def fmt_ms(values):
    return f"median {statistics.median(values) * 1e3:.2f} ms, p95 {percentile(values, 0.95) * 1e3:.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--gui-only", action="store_true", help="only the menu runs (cursor distance and cost)")
    parser.add_argument("--baseline-dll", help="also run the menu with this QuarrenVelt.Framolt.dll's preview")
    a = parser.parse_args()

    lat = {True: [], False: []}
    p95 = {True: [], False: []}
    cost = {True: [], False: []}
    errors = []
    for i in range(0 if a.gui_only else a.runs):
        for overlay in (False, True):
            r, reports, steps = run(a.build_dir, f"latency-{overlay}-{i}", overlay, "latency", 200)
            values = latencies(r.frames, reports, steps)
            if values:
                lat[overlay].append(statistics.median(values))
                p95[overlay].append(percentile(values, 0.95))
            cost[overlay].append(plugin_us(r.frames))
            if overlay:
                errors += lead_errors(r.frames, reports, steps)
    if not a.gui_only:
        print("Mouse-look latency, 60 Hz steps drawn at 240 Hz (count arrival to the first frame showing it;")
        print(f"  median of {a.runs} run medians and p95s):")
    for overlay in (False, True):
        if lat[overlay]:
            print(f"  {'with the preview   ' if overlay else 'without the preview'}: median "
                  f"{statistics.median(lat[overlay]) * 1e3:.2f} ms, p95 {statistics.median(p95[overlay]) * 1e3:.2f} ms")
    if lat[True] and lat[False]:
        print(f"  the preview answers {statistics.median(lat[False]) / statistics.median(lat[True]):.1f} times sooner "
              f"(median), {statistics.median(p95[False]) / statistics.median(p95[True]):.1f} times (p95)")
    if errors:
        within = sum(e <= 0.02 for e in errors) / len(errors)
        print(f"Mouse-look accuracy: drawn yaw before a step against the step's yaw, over {len(errors)} clean steps: "
              f"median {statistics.median(errors) * 100:.2f} %, p95 {percentile(errors, 0.95) * 100:.2f} % of the "
              f"step's turn; {within * 100:.0f} % within 2 %")
    r, reports, steps = run(a.build_dir, "look", True, "look", 300) if not a.gui_only else (None, [], [])
    over = reversal_overshoots(r.frames, steps) if r else []
    if over:
        print(f"Mouse-look reversals: {len(over)} frames; largest overshoot {max(over) * 100:.1f} % of a step's turn")

    # Menu runs: without the preview, with it, and with it from the baseline DLL, interleaved so that
    # each sees the same neighbours.
    rows = [("without", a.build_dir, False), ("with", a.build_dir, True)]
    scratch = None
    if a.baseline_dll:
        scratch = tempfile.mkdtemp(prefix="framolt-baseline-")
        rows.append(("baseline with", with_dll(a.build_dir, a.baseline_dll, scratch), True))
    gui = {label: [] for label, _, _ in rows}
    gui_cost = {label: [] for label, _, _ in rows}
    try:
        for i in range(a.runs):
            for label, tree, overlay in rows:
                r, _, _ = run(tree, f"gui-{overlay}-{i}", overlay, "gui", 200, draw_log=True)
                gui[label] += cursor_distances(r.draws)
                gui_cost[label].append(plugin_us(r.frames))
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
    for label, d in gui.items():
        if d:
            print(f"GUI cursor against the OS cursor, {label + ' the preview:':<27} p95 {percentile(d, 0.95):.1f} px, "
                  f"median {statistics.median(d):.1f} px, max {max(d):.1f} px ({len(d)} frames)")
    if cost[True] and cost[False]:
        print(f"Plug-in time per listener frame (median of run medians): without the previews "
              f"{statistics.median(cost[False]):.2f} us, with {statistics.median(cost[True]):.2f} us; the previews "
              f"{statistics.median(cost[True]) - statistics.median(cost[False]):.2f} us")
    menu = {k: statistics.median(v) for k, v in gui_cost.items() if v}
    print(f"  in the menu (the hand moving and the GUI refreshed every frame; median of {a.runs} run medians): "
          f"without {menu['without']:.2f} us, with {menu['with']:.2f} us, so the GUI cursor preview "
          f"{menu['with'] - menu['without']:.2f} us")
    if "baseline with" in menu:
        print(f"  the baseline DLL's GUI cursor preview: {menu['baseline with'] - menu['without']:.2f} us")

if __name__ == "__main__":
    main()

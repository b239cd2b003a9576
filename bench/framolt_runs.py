"""Runs the stand-in game with the plug-in under Wine and reads what it recorded.

The one launcher of the measurement tools in this folder and of scripts/run.sh. Each run gets its
own copy of a game folder, so runs never see each other's INI or log. As a command it runs the
game once and prints what the plug-in logged and the game's summary line.
"""
import csv
import os
import shutil
import statistics
import subprocess
import tempfile
import time
import resource
from dataclasses import dataclass, field


_children_cpu = [resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime +
                 resource.getrusage(resource.RUSAGE_CHILDREN).ru_stime]


@dataclass
class Run:
    name: str
    exit_code: int
    stdout: str
    stderr: str
    log: str
    frames: list = field(default_factory=list)
    cpu_s: float = 0.0      # user + system CPU time of the game process
    wall_s: float = 0.0
    draws: list = field(default_factory=list)  # (present_s, frame, kind, id, x, y, z) per drawn object


def write_ini(path, features=None, telemetry=False, diagnostics=True, interval=5, target_fps=0):
    features = features or {}
    lines = ["[General]", "Enabled=true", f"Diagnostics={'true' if diagnostics else 'false'}",
             "[Telemetry]", f"Enabled={'true' if telemetry else 'false'}", f"ReportIntervalSeconds={interval}",
             "[Features]"]
    lines += [f"{k}={'true' if v else 'false'}" for k, v in features.items()]
    lines += ["[Timing]", f"TargetFPS={target_fps}"]
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


def run_game(build_dir, name, args, ini=None, build="GOG", timeout=300, draw_log=False, frames=True):
    """ini: None runs without the plug-in; else a dict of write_ini keyword arguments. frames=False
    skips the per-frame records (long runs)."""
    build_dir = os.path.abspath(build_dir)
    work = tempfile.mkdtemp(prefix=f"framolt-{name}-")
    game = os.path.join(work, "game")
    shutil.copytree(os.path.join(build_dir, "game", build), game)
    frames_path = os.path.join(game, "frames.csv")
    argv = [os.path.join(build_dir, "wine-run"), os.path.join(game, "QuarrenVelt.exe")] + list(args)
    if frames:
        argv += ["--frames", "frames.csv"]
    draw_path = os.path.join(game, "draw.csv")
    if draw_log:
        argv += ["--draw-log", "draw.csv"]
    if ini is None:
        argv.append("--no-plugin")
    else:
        write_ini(os.path.join(game, "QuarrenVelt.Framolt.ini"), **ini)
    started = time.monotonic()
    # Output goes to files, not pipes: Wine's background services, when this run starts them, would
    # inherit a pipe and hold it open long after the game has ended.
    out_path, err_path = os.path.join(work, "stdout.txt"), os.path.join(work, "stderr.txt")
    with open(out_path, "w") as out, open(err_path, "w") as err:
        proc = subprocess.Popen(argv, cwd=game, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    wall = time.monotonic() - started
    stdout = open(out_path, encoding="utf-8", errors="replace").read()
    stderr = open(err_path, encoding="utf-8", errors="replace").read()
    # The Windows process runs in the child Wine started, so its CPU time is the child's.
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    log_path = os.path.join(game, "QuarrenVelt.Framolt.log")
    log = open(log_path, encoding="utf-8").read() if os.path.exists(log_path) else ""
    frames = []
    if os.path.exists(frames_path):
        with open(frames_path, newline="") as f:
            frames = [{k: float(v) for k, v in row.items()} for row in csv.DictReader(f)]
    draws = []
    if draw_log and os.path.exists(draw_path):
        with open(draw_path, newline="") as f:
            draws = [(float(r["present_s"]), int(r["frame"]), r["kind"], r["id"], float(r["x"]), float(r["y"]),
                      float(r["z"])) for r in csv.DictReader(f)]
    shutil.rmtree(work, ignore_errors=True)
    cpu = usage.ru_utime + usage.ru_stime - _children_cpu[0]
    _children_cpu[0] = usage.ru_utime + usage.ru_stime
    return Run(name, proc.returncode, stdout, stderr, log, frames, cpu, wall, draws)


def displacements(frames):
    out = []
    for a, b in zip(frames, frames[1:]):
        dx, dy, dz = b["x"] - a["x"], b["y"] - a["y"], b["z"] - a["z"]
        out.append((dx * dx + dy * dy + dz * dz) ** 0.5)
    return out


def judder(frames):
    """Standard deviation over mean of the per-frame drawn camera displacement."""
    d = displacements(frames)
    if len(d) < 2 or statistics.fmean(d) == 0:
        return float("nan")
    return statistics.pstdev(d) / statistics.fmean(d)


def percentile(values, q):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, max(0, int(round(q * (len(s) - 1)))))]


def main():
    import argparse
    parser = argparse.ArgumentParser(description="Runs the stand-in game once with the plug-in and shows its log.")
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--build", default="GOG")
    parser.add_argument("--feature", action="append", default=[], help="a [Features] key to turn on (repeatable)")
    parser.add_argument("--telemetry", action="store_true")
    parser.add_argument("--interval", type=int, default=5)
    parser.add_argument("--target-fps", type=int, default=0)
    parser.add_argument("--keep-log", help="also write the plug-in's log to this file")
    parser.add_argument("game_args", nargs=argparse.REMAINDER, help="the game's own options, after --")
    opts = parser.parse_args()
    args = [a for a in opts.game_args if a != "--"]
    ini = {"features": {k: True for k in opts.feature}, "telemetry": opts.telemetry, "interval": opts.interval,
           "target_fps": opts.target_fps}
    run = run_game(opts.build_dir, "demo", args, ini=ini, build=opts.build)
    print("== QuarrenVelt.Framolt.log")
    print(run.log, end="")
    if opts.keep_log:
        with open(opts.keep_log, "w", encoding="utf-8") as f:
            f.write(run.log)
    print("== the game")
    print(run.stdout, end="")
    if run.exit_code != 0:
        print(f"(the game exited with status {run.exit_code}: {run.stderr.strip()})")


if __name__ == "__main__":
    main()

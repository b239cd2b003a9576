#!/usr/bin/env python3
"""Start-up, rollback and removal while the game renders uncapped, many times over.

Each cycle runs the stand-in game in its live mode (its main loop does not wait for the plug-in)
with one of the scenarios below: host code changes at a chosen frame, so that the bootstrap fails
at each of its rollback steps, or completes with the optional extras staying off. A cycle passes
when the game exits cleanly (no crash, no value leaked into its simulation, every host function
called exactly once per call, host code as shipped after a failed start-up), the bootstrap ended
with the expected code while frames were being drawn, and the log has the rollback's lines.

    python3 bench/live_cycles.py --build-dir build/windows --cycles 1000
"""
import argparse
import collections
import concurrent.futures
import os
import random
import sys
import time

import framolt_runs

BASE = {"RenderUnlock": True}
CAMERA = {"RenderUnlock": True, "CameraInterpolation": True}
FEATURE_KEYS = ["RenderUnlock", "PresentationLimiter", "CameraInterpolation", "HandsRootInterpolation",
                "WorldRootInterpolation", "HandsPoseInterpolation", "RagdollPoseInterpolation",
                "ParticleInterpolation", "MouseOverlay"]

# name, features, damage (a format string for the frame), expected exit code, a line the log must have
SCENARIOS = [
    ("swap-import-name", CAMERA, "--break-site swap@{n}", 7, "Fail-closed: no behavioral hooks were installed."),
    ("engine-run-broken", CAMERA, "--break-site 0@{n}", 8, "Fail-closed: stock cEngine::mbLimitFPS was not changed."),
    ("engine-run-noaccess", CAMERA, "--protect-site 0=noaccess@{n}", 8,
     "Fail-closed: stock cEngine::mbLimitFPS was not changed."),
    ("engine-run-guard", CAMERA, "--protect-site 0=guard@{n}", 8,
     "Fail-closed: stock cEngine::mbLimitFPS was not changed."),
    ("updater-broken", CAMERA, "--break-site 1@{n}", 9, "Fail-closed: render unlock was rolled back."),
    ("render-broken", CAMERA, "--break-site 2@{n}", 9, "Fail-closed: render unlock was rolled back."),
    ("setter-broken", CAMERA, "--break-site 3@{n}", 9, "Fail-closed: render unlock was rolled back."),
    ("clock-broken", CAMERA, "--break-site 5@{n}", 9, "Fail-closed: render unlock was rolled back."),
    ("render-execute-only", CAMERA, "--protect-site 2=execute@{n}", 9, "Fail-closed: render unlock was rolled back."),
    # Read through the guarded check, an execute-only page still matches; only the hooked sites refuse it.
    ("setter-execute-only", CAMERA, "--protect-site 4=execute@{n}", 0, "Bootstrap complete with requested hooks enabled."),
    ("entity-site-broken", dict(CAMERA, HandsRootInterpolation=True), "--scenario world --break-site 12@{n}", 10,
     "Fail-closed: behavioral hooks were rolled back."),
    ("pose-refused-mid-draw", dict(CAMERA, HandsRootInterpolation=True, HandsPoseInterpolation=True),
     "--draw-us 4000", 10, "Fail-closed: behavioral hooks were rolled back."),
    ("entity-runtime", dict(CAMERA, HandsRootInterpolation=True, WorldRootInterpolation=True), "--scenario world", 0,
     "Bootstrap complete with requested hooks enabled."),
    ("extras-stay-off", dict(CAMERA, MouseOverlay=True, ParticleInterpolation=True), "", 0,
     "Bootstrap complete with requested hooks enabled."),
    ("complete", CAMERA, "", 0, "Bootstrap complete with requested hooks enabled."),
]


def summary_of(stdout):
    for line in reversed(stdout.splitlines()):
        if line.startswith("standin: "):
            return dict(kv.split("=", 1) for kv in line[len("standin: "):].split() if "=" in kv)
    return {}


def run_cycle(build_dir, scenario, frame, ticks, build):
    name, features, damage, expected, line = scenario
    args = ["--live", "--limit-byte", "0", "--ticks", str(ticks)] + damage.format(n=frame).split()
    run = framolt_runs.run_game(build_dir, "cycle", args, ini={"features": features, "telemetry": True, "interval": 1},
                                build=build, timeout=120, frames=False)
    s = summary_of(run.stdout)
    problems = []
    if run.exit_code != 0:
        problems.append(f"game exit {run.exit_code}: {run.stderr.strip()[:300]}")
    if s.get("bootstrap-exit") != str(expected):
        problems.append(f"bootstrap-exit {s.get('bootstrap-exit')} (expected {expected})")
    if s.get("violations") != "0":
        problems.append(f"violations={s.get('violations')}")
    if s.get("host-calls-ok") != "1":
        problems.append(f"host-calls-ok={s.get('host-calls-ok')}")
    if expected != 0 and s.get("sites-shipped") != "1":
        problems.append(f"sites-shipped={s.get('sites-shipped')}")
    if line not in run.log:
        problems.append(f"log lacks: {line}")
    return name, s.get("bootstrap-exit", "none"), int(s.get("frames-before-bootstrap-exit", "0") or 0), problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--ticks", type=int, default=20, help="fixed steps per run (60 Hz)")
    parser.add_argument("--max-frame", type=int, default=40, help="damage after 0..N presented frames")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=14)
    a = parser.parse_args()
    build_dir = os.path.abspath(a.build_dir)
    rng = random.Random(a.seed)
    plan = [(SCENARIOS[i % len(SCENARIOS)], rng.randint(0, a.max_frame), rng.choice(["GOG", "Steam"]))
            for i in range(a.cycles)]
    started = time.monotonic()
    exits = collections.Counter()
    failures = []
    frames_before = []
    per_worker = [plan[w::a.workers] for w in range(a.workers)]

    def worker(w):
        results = []
        for scenario, frame, build in per_worker[w]:
            results.append((scenario[0], frame, build, run_cycle(build_dir, scenario, frame, a.ticks, build)))
        return results

    with concurrent.futures.ThreadPoolExecutor(a.workers) as pool:
        for results in pool.map(worker, range(a.workers)):
            for name, frame, build, (_, code, before, problems) in results:
                exits[code] += 1
                frames_before.append(before)
                if problems:
                    failures.append(f"{name} frame={frame} build={build}: " + "; ".join(problems))
    elapsed = time.monotonic() - started
    print(f"cycles={a.cycles} passed={a.cycles - len(failures)} failed={len(failures)} seconds={elapsed:.0f}")
    print("bootstrap exit codes: " + ", ".join(f"{k}: {v}" for k, v in sorted(exits.items())))
    frames_before.sort()
    if frames_before:
        print(f"frames drawn while the bootstrap ran: min={frames_before[0]} "
              f"median={frames_before[len(frames_before) // 2]} max={frames_before[-1]}")
    for f in failures[:20]:
        print("FAILED " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

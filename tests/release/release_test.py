#!/usr/bin/env python3
"""The package a player downloads, and the log viewer inside it, as a player would use them.

The zip is unpacked into a fresh stand-in game folder and the game is run with it; the log viewer
is opened in headless Chromium on logs from stand-in runs (limiter on and off, a refused start-up,
a damaged log) and judged from the page it builds.
"""
import html
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else ROOT / "build" / "windows"
VERSION = re.search(r"project\(\s*\S+\s+VERSION\s+(\d+\.\d+\.\d+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")

LIMITER_INI = """[General]
Diagnostics=true
[Telemetry]
ReportIntervalSeconds=1
[Features]
RenderUnlock=true
PresentationLimiter=true
CameraInterpolation=true
[Timing]
TargetFPS=144
"""
UNCAPPED_INI = LIMITER_INI.replace("PresentationLimiter=true", "PresentationLimiter=false").replace("TargetFPS=144", "TargetFPS=0")
REFUSED_INI = LIMITER_INI.replace("RenderUnlock=true", "RenderUnlock=maybe")


def game_folder(parent: pathlib.Path, name: str) -> pathlib.Path:
    """A stand-in game as shipped: no plug-in in it yet."""
    folder = parent / name
    shutil.copytree(BUILD / "game" / "GOG", folder)
    for leftover in ("QuarrenVelt.Framolt.dll", "QuarrenVelt.Framolt.ini"):
        (folder / leftover).unlink(missing_ok=True)
    return folder


def run_game(folder: pathlib.Path, *args: str) -> subprocess.CompletedProcess:
    with open(folder / "stdout.txt", "w") as out, open(folder / "stderr.txt", "w") as err:
        done = subprocess.run([str(BUILD / "wine-run"), "QuarrenVelt.exe", *args], cwd=folder, stdout=out, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=240)
    done.stdout_text = (folder / "stdout.txt").read_text(errors="replace")
    return done


def view(page: pathlib.Path, log: pathlib.Path, screenshot: pathlib.Path = None) -> str:
    """The viewer's page after it read the log, as Chromium built it."""
    shutil.copy(page, log.parent / "viewer.html")
    url = (log.parent / "viewer.html").as_uri() + "?log=" + log.name
    base = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
            "--virtual-time-budget=10000", "--window-size=1300,2400"]
    if screenshot:
        subprocess.run(base + [f"--screenshot={screenshot}", url], capture_output=True, timeout=120, check=True)
    # The page reads the log asynchronously; on a busy machine Chromium may dump it before it is done.
    for _ in range(6):
        dom = subprocess.run(base + ["--dump-dom", url], capture_output=True, timeout=120, check=True, text=True).stdout
        if 'data-ready="1"' in dom:
            break
    return dom


def fact(dom: str, name: str) -> str:
    match = re.search(r'data-fact="' + re.escape(name) + r'">([^<]*)<', dom)
    return html.unescape(match.group(1)) if match else None


def charts(dom: str) -> set:
    return {html.unescape(t) for t in re.findall(r'data-chart="([^"]*)"', dom)}


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = pathlib.Path(tempfile.mkdtemp(prefix="framolt-release-"))
        made = subprocess.run([sys.executable, str(ROOT / "scripts" / "make_release.py"), "--build-dir", str(BUILD),
                               "--out", str(cls.temp / "out")], capture_output=True, text=True, check=True)
        cls.archive = pathlib.Path(made.stdout.strip())
        cls.logs = {}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.temp, ignore_errors=True)

    def played(self, name: str, ini: str) -> pathlib.Path:
        """Unpacks the package into a fresh game, sets the INI and plays two seconds."""
        folder = game_folder(self.temp, name)
        with zipfile.ZipFile(self.archive) as z:
            z.extractall(folder)
        if ini is not None:
            (folder / "QuarrenVelt.Framolt.ini").write_text(ini)
        done = run_game(folder, "--ticks", "150")
        self.assertEqual(done.returncode, 0, (folder / "stderr.txt").read_text(errors="replace"))
        return folder

    def test_package_installs_by_unpacking_and_names_its_version(self):
        self.assertEqual(self.archive.name, f"QuarrenVelt.Framolt-{VERSION}.zip")
        with zipfile.ZipFile(self.archive) as z:
            self.assertEqual(sorted(z.namelist()), ["PLAYER-GUIDE.txt", "QuarrenVelt.Framolt.dll",
                                                    "QuarrenVelt.Framolt.ini", "log-viewer.html"])
            guide = z.read("PLAYER-GUIDE.txt").decode()
        self.assertIn(VERSION, guide)
        self.assertNotIn("@VERSION@", guide)
        folder = self.played("as-shipped", None)  # the example INI as it is in the package
        log = (folder / "QuarrenVelt.Framolt.log").read_text(encoding="utf-8-sig", errors="replace").splitlines()
        self.assertRegex(log[0], r"\[INFO\] QuarrenVelt\.Framolt " + re.escape(VERSION) + r" bootstrap starting \(x64\)$")
        self.assertTrue(any("Bootstrap complete" in line for line in log), log)

    @unittest.skipUnless(CHROMIUM, "Chromium is not installed")
    def test_viewer_shows_start_up_and_reports_of_real_runs(self):
        page = ROOT / "dist" / "log-viewer.html"
        limited = self.played("limited", LIMITER_INI) / "QuarrenVelt.Framolt.log"
        shot = BUILD / "log-viewer-test.png"
        dom = view(page, limited, shot)
        self.assertIn("Started: the requested features are installed.", dom)
        self.assertEqual(fact(dom, "Plug-in version"), VERSION)
        self.assertEqual(fact(dom, "Game build"), "GOG (exact)")
        self.assertEqual(fact(dom, "Target frame rate"), "144 FPS")
        self.assertTrue(fact(dom, "Lines skipped (unknown or damaged)").startswith("0"))
        self.assertLessEqual({"Frame rate", "Present interval", "Sample-to-present delay"}, charts(dom))
        self.assertIn("Presents are paced to the target frame rate shown.", dom)
        self.assertTrue(shot.stat().st_size > 10000)

        uncapped = view(page, self.played("uncapped", UNCAPPED_INI) / "QuarrenVelt.Framolt.log")
        self.assertEqual(fact(uncapped, "Target frame rate"), "no limiter")
        self.assertIn("Frame rate", charts(uncapped))

        refused = view(page, self.played("refused", REFUSED_INI) / "QuarrenVelt.Framolt.log")
        self.assertIn("Did not start: the game runs as shipped", refused)
        self.assertIn("A value in the INI is not accepted; the line names the key.", refused)
        self.assertEqual(charts(refused), set())

        # Damaged: a cut line, binary noise, a line of another program, a report with its numbers gone.
        lines = limited.read_text(encoding="utf-8-sig", errors="replace").splitlines()
        damaged = self.temp / "damaged" / "QuarrenVelt.Framolt.log"
        damaged.parent.mkdir()
        noise = ["[2026-12-08 10:00", "\x00\x01\xff garbage", "some other program's line",
                 "[2026-12-08 10:00:00.000] [INFO] Swap cadence: samples=x mean=? ms"]
        damaged.write_text("\n".join(lines[:5] + noise[:3] + lines[5:] + noise[3:]) + "\n", encoding="utf-8")
        dom = view(page, damaged)
        self.assertTrue(fact(dom, "Lines skipped (unknown or damaged)").startswith("3"), fact(dom, "Lines skipped (unknown or damaged)"))
        self.assertIn("Started: the requested features are installed.", dom)
        self.assertIn("Frame rate", charts(dom))


if __name__ == "__main__":
    unittest.main(verbosity=2)

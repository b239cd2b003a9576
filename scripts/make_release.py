#!/usr/bin/env python3
"""Packs a built plug-in into the zip a player downloads.

The zip holds the DLL, the commented example INI, the player guide and the log viewer, all at its
top level so that unpacking it into the game folder installs the plug-in. The version comes from
the project's CMakeLists.txt, the same source the DLL's log line is built from.
"""
import argparse
import pathlib
import re
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*\S+\s+VERSION\s+(\d+\.\d+\.\d+)", text)
    if not match:
        sys.exit("make_release: no VERSION in CMakeLists.txt's project()")
    return match.group(1)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build/windows", help="the Windows build tree")
    parser.add_argument("--out", default="build/release", help="folder for the zip")
    args = parser.parse_args()

    version = project_version()
    dll = pathlib.Path(args.build_dir) / "bin" / "QuarrenVelt.Framolt.dll"
    if not dll.is_file():
        sys.exit(f"make_release: {dll} is missing; build the windows preset first")
    dist = ROOT / "dist"
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    archive = out / f"QuarrenVelt.Framolt-{version}.zip"

    guide = (dist / "PLAYER-GUIDE.txt").read_text().replace("@VERSION@", version)
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(dll, "QuarrenVelt.Framolt.dll")
        z.write(dist / "QuarrenVelt.Framolt.ini", "QuarrenVelt.Framolt.ini")
        # Players open these in Notepad: Windows line ends.
        z.writestr("PLAYER-GUIDE.txt", guide.replace("\r\n", "\n").replace("\n", "\r\n"))
        z.write(dist / "log-viewer.html", "log-viewer.html")
    print(archive)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Clears the export directory of a PE32+ DLL in place.

mingw's linker always writes an export directory (naming the DLL, listing nothing) even when
nothing is exported. The plug-in exports nothing, so the directory entry is cleared and the
loader and tools see no export table at all.
"""
import struct
import sys


def main(path: str) -> int:
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        if data[:2] != b"MZ":
            print(f"{path}: not a PE file", file=sys.stderr)
            return 1
        nt = struct.unpack_from("<I", data, 0x3C)[0]
        if data[nt:nt + 4] != b"PE\0\0":
            print(f"{path}: no NT signature", file=sys.stderr)
            return 1
        optional = nt + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            print(f"{path}: not PE32+", file=sys.stderr)
            return 1
        directories = optional + 112
        struct.pack_into("<II", data, directories, 0, 0)
        f.seek(0)
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

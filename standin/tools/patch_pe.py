#!/usr/bin/env python3
"""Stamps a linked QuarrenVelt.exe as one build: time-date stamp, size of image and
a fresh PE checksum. The linker chooses neither, but the build mapping keys on both."""
import argparse
import struct
import sys


def pe_checksum(data, checksum_offset):
    total = 0
    padded = data + b"\0" * (len(data) & 1)
    for i in range(0, len(padded), 2):
        if checksum_offset <= i < checksum_offset + 4:
            continue
        total += padded[i] | (padded[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("exe")
    ap.add_argument("--timestamp", type=lambda v: int(v, 0), required=True)
    ap.add_argument("--image-size", type=lambda v: int(v, 0), required=True)
    a = ap.parse_args()

    data = bytearray(open(a.exe, "rb").read())
    if data[:2] != b"MZ":
        sys.exit(f"{a.exe}: not an MZ image")
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    if data[nt:nt + 4] != b"PE\0\0" or struct.unpack_from("<H", data, nt + 24)[0] != 0x20B:
        sys.exit(f"{a.exe}: not a PE32+ image")
    opt = nt + 24
    linked_size = struct.unpack_from("<I", data, opt + 56)[0]
    if linked_size > a.image_size:
        sys.exit(f"{a.exe}: sections end at 0x{linked_size:X}, past the build's size of image 0x{a.image_size:X}")
    struct.pack_into("<I", data, nt + 8, a.timestamp)
    struct.pack_into("<I", data, opt + 56, a.image_size)
    struct.pack_into("<I", data, opt + 64, 0)
    struct.pack_into("<I", data, opt + 64, pe_checksum(bytes(data), opt + 64))
    open(a.exe, "wb").write(data)


if __name__ == "__main__":
    main()

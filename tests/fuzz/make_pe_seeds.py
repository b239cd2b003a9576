#!/usr/bin/env python3
"""Writes the PE seed images of the pe fuzz target: a small PE32+ host with an import directory
naming KERNEL32.dll and SDL2.dll (an ordinal entry, SDL_PumpEvents, SDL_GL_SwapWindow)."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "pe")


def image(size_of_image=0x1000, stamp=0x614063E2, first_thunk_shift=0):
    b = bytearray(0x1000)
    b[0:2] = b"MZ"
    struct.pack_into("<i", b, 0x3C, 0x40)
    struct.pack_into("<I", b, 0x40, 0x00004550)
    struct.pack_into("<HHIIIHH", b, 0x44, 0x8664, 0, stamp, 0, 0, 240, 0x22)
    opt = 0x58
    struct.pack_into("<H", b, opt, 0x20B)
    struct.pack_into("<II", b, opt + 56, size_of_image, 0x200)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<I", b, opt + 108, 16)                    # NumberOfRvaAndSizes
    struct.pack_into("<II", b, opt + 112 + 8, 0x300, 60)        # import directory
    names = {0x600: b"KERNEL32.dll\0", 0x610: b"SDL2.dll\0", 0x700: b"\0\0Sleep\0",
             0x720: b"\1\0SDL_PumpEvents\0", 0x740: b"\2\0SDL_GL_SwapWindow\0"}
    for rva, text in names.items():
        b[rva:rva + len(text)] = text
    struct.pack_into("<IIIII", b, 0x300, 0x400, 0, 0, 0x600, 0x500)
    struct.pack_into("<IIIII", b, 0x314, 0x420, 0, 0, 0x610, 0x520 + first_thunk_shift)
    struct.pack_into("<QQ", b, 0x400, 0x700, 0)
    struct.pack_into("<QQQQ", b, 0x420, (1 << 63) | 7, 0x720, 0x740, 0)
    struct.pack_into("<QQ", b, 0x500, 0x7FF800001000, 0)
    struct.pack_into("<QQQQ", b, 0x520 + first_thunk_shift, 0x7FF900002000, 0x7FF900003000, 0x7FF900004000, 0)
    return bytes(b)


os.makedirs(HERE, exist_ok=True)
for name, data in {"host": image(), "gog_sized": image(size_of_image=0x9FD000),
                   "misaligned_slots": image(first_thunk_shift=4), "other_stamp": image(stamp=0x12345678)}.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)

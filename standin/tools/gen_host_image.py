#!/usr/bin/env python3
"""Generates the stand-in game's code at the host RVAs of one build.

Every host function starts with its build's entry bytes, emitted verbatim; where
they end inside an instruction, completion bytes finish it; then the function
continues in ordinary assembly, usually by calling its implementation in the
world DLL (an import of the exe) and unwinding its own prologue.

Outputs (for build B):
  host_image_B.S   one section per 4 KiB page that holds host code or data
  host_build_B.c   the QvHostBuild record the exe hands to the world
  --sections B     prints the -Wl,--section-start options, one per line
"""
import argparse
import struct
import sys

import host_builds

IMAGE_BASE = 0x140000000
PAGE = 0x1000


def imp(name):
    return f"qword ptr [rip + __imp_{name}]"


# Completion bytes (hex) and the rest of each function. Keys: site id, or
# (site id, build label) where the builds differ.
CODE = {
    # rsi = engine; the frame is 16-byte aligned after sub rsp,128h.
    0: ("", f"""
        mov rcx, rsi
        call {imp('QvEngineRun')}
        add rsp, 0x128
        pop r14
        pop r12
        pop rdi
        pop rsi
        pop rbx
        pop rbp
        ret"""),
    # 44 8B EA: mov r13d, edx (the message). rcx, edx and xmm2 reach the world intact.
    1: ("8B EA", f"""
        call {imp('QvUpdaterRunMessage')}
        movaps xmm6, xmmword ptr [rsp + 0x60]
        add rsp, 0x78
        pop r15
        pop r13
        pop r12
        pop rbp
        ret"""),
    # 48 8B 9A 80 00 00 00: mov rbx, [rdx+80h] (the viewport's render list).
    2: ("00 00 00", f"""
        call {imp('QvSceneRenderViewport')}
        add rsp, 0x50
        pop r15
        pop r14
        pop r13
        pop r12
        pop rdi
        pop rsi
        pop rbp
        mov rbx, qword ptr [rsp + 0x18]
        ret"""),
    # 41 89 40 08: mov [r8+8], eax - the third coordinate.
    3: ("40 08", """
        ret"""),
    # 0F 10 42 20: movups xmm0, [rdx+20h]; then the last two rows.
    4: ("20", """
        movups xmmword ptr [rcx + 0x218], xmm0
        movups xmm1, xmmword ptr [rdx + 0x30]
        movups xmmword ptr [rcx + 0x228], xmm1
        ret"""),
    5: ("", """
        add rsp, 0x28
        ret"""),
    # 48 8B D9: mov rbx, rcx (the handler's device object).
    6: ("D9", f"""
        mov rcx, rdi
        call {imp('QvInputLookAmount')}
        movaps xmm6, xmmword ptr [rsp + 0x30]
        add rsp, 0x48
        pop rdi
        pop rbx
        ret"""),
    # 89 81 50 4E 00 00: mov [rcx+4E50h], eax - the previous position becomes the draw position.
    7: ("00", f"""
        mov rcx, rdi
        call {imp('QvImGuiSendMousePosition')}
        add rsp, 0x40
        pop rdi
        mov rbx, qword ptr [rsp + 0x20]
        ret"""),
    # 4D 8B E0: mov r12, r8.
    8: ("8B E0", f"""
        call {imp('QvImGuiDoMouse')}
        add rsp, 0xC0
        pop r15
        pop r14
        pop r12
        ret"""),
    # 48 8D A8 F8 FE FF FF: lea rbp, [rax-108h]; rax = rsp at entry. Five stack
    # arguments are passed on to the implementation.
    9: ("FF FF", f"""
        sub rsp, 0x80
        mov r10, qword ptr [rax + 0x28]
        mov qword ptr [rsp + 0x20], r10
        mov r10, qword ptr [rax + 0x30]
        mov qword ptr [rsp + 0x28], r10
        mov r10, qword ptr [rax + 0x38]
        mov qword ptr [rsp + 0x30], r10
        mov r10, qword ptr [rax + 0x40]
        mov qword ptr [rsp + 0x38], r10
        mov r10, qword ptr [rax + 0x48]
        mov qword ptr [rsp + 0x40], r10
        call {imp('QvImGuiImageDraw')}
        add rsp, 0x80
        pop r15
        pop r14
        pop r12
        pop rdi
        pop rbp
        mov rbx, qword ptr [rsp + 0x18]
        mov rsi, qword ptr [rsp + 0x20]
        ret"""),
    # 48 8B 81 38 03 00 00: mov rax, [rcx+338h].
    10: ("00 00", f"""
        call {imp('QvParticleUpdateMotion')}
        add rsp, 0x348
        pop r14
        pop rbp
        ret"""),
    # 48 81 EC 68 02 00 00: sub rsp, 268h.
    11: ("00", f"""
        call {imp('QvParticleGraphicsUpdate')}
        add rsp, 0x268
        pop r14
        pop r12
        pop rdi
        pop rsi
        pop rbx
        pop rbp
        ret"""),
    # FF 90 60 01 00 00: call [rax+160h], the entity's virtual SetMatrix (slot 44).
    (12, "GOG"): ("60 01 00 00", """
        add rsp, 0xB0
        pop rbx
        ret"""),
    (12, "Steam"): ("", """
        mov byte ptr [rbx + 0x3CB], 1
        mov rax, qword ptr [rbx]
        mov rcx, rbx
        call qword ptr [rax + 0x160]
        add rsp, 0xC0
        pop rbx
        ret"""),
    # The call finds the variable (rcx entity, rdx name); 40 84 FF: test dil, dil.
    13: ("FF", """
        setne cl
        test rax, rax
        jz 1f
        mov byte ptr [rax], cl
    1:  mov rbx, qword ptr [rsp + 0x30]
        add rsp, 0x20
        pop rdi
        ret"""),
    # 48 C1 F8 03: sar rax, 3 - number of nodes under the entity.
    14: ("C1 F8 03", f"""
        call {imp('QvEntityGetMatrix')}
        add rsp, 0x20
        pop rbx
        ret"""),
    # 48 2B 81 E8 08 00 00: sub rax, [rcx+8E8h].
    15: ("2B 81 E8 08 00 00", f"""
        call {imp('QvEntitySetMatrix')}
        add rsp, 0x120
        pop rdi
        mov rbx, qword ptr [rsp + 0x10]
        ret"""),
    16: ("", f"""
        mov rcx, rdi
        mov rdx, rbx
        call {imp('QvMatrixInverse')}
        movaps xmm6, xmmword ptr [rsp + 0x60]
        add rsp, 0x70
        pop rdi
        mov rbx, qword ptr [rsp + 0x8]
        ret"""),
    17: ("", f"""
        call {imp('QvMatrixMultiply')}
        add rsp, 0xA8
        ret"""),
    18: ("", f"""
        mov rcx, rdi
        call {imp('QvNodeMatrixChanged')}
        add rsp, 0x60
        pop rdi
        mov rbx, qword ptr [rsp + 0x10]
        mov rbp, qword ptr [rsp + 0x18]
        ret"""),
    # 0F 10 4A 30: movups xmm1, [rdx+30h]; the bone's matrix sits at +3Ch. The world then
    # marks the bone's skeleton for its next draw.
    19: ("10 4A 30", f"""
        movups xmmword ptr [rcx + 0x6C], xmm1
        jmp {imp('QvBoneSetMatrix')}"""),
    # 48 8B 05 rel32: mov rax, [rip+x] - the entity name table (completed by the generator).
    (20, "GOG"): (None, f"""
        mov r9, rax
        call {imp('QvResolveEntityName')}
        add rsp, 0x40
        pop rdi
        mov rbx, qword ptr [rsp + 0x8]
        mov rbp, qword ptr [rsp + 0x10]
        mov rsi, qword ptr [rsp + 0x18]
        ret"""),
    (20, "Steam"): ("", f"""
        mov r9, qword ptr [rip + qv_name_table]
        call {imp('QvResolveEntityName')}
        add rsp, 0x50
        pop rdi
        mov rbx, qword ptr [rsp + 0x8]
        mov rbp, qword ptr [rsp + 0x10]
        ret"""),
    # 8B 4B 04: mov ecx, [rbx+4]; the world copies the rest of the matrix.
    21: ("4B 04", f"""
        mov dword ptr [r8 + 0x4C], ecx
        mov rcx, r8
        mov rdx, rbx
        call {imp('QvNewtonBodyMoved')}
        add rsp, 0x20
        pop rbx
        ret"""),
    (22, "GOG"): ("", f"""
        call {imp('QvPropOnUpdate')}
        movaps xmm8, xmmword ptr [rsp + 0x50]
        add rsp, 0x80
        pop rdi
        mov rbx, qword ptr [rsp + 0x8]
        mov rsi, qword ptr [rsp + 0x10]
        ret"""),
    # 48 89 70 10: mov [rax+10h], rsi.
    (22, "Steam"): ("89 70 10", f"""
        call {imp('QvPropOnUpdate')}
        add rsp, 0x90
        pop rdi
        mov rbx, qword ptr [rsp + 0x8]
        mov rsi, qword ptr [rsp + 0x10]
        ret"""),
    # 48 8B F9: mov rdi, rcx.
    (23, "GOG"): ("F9", f"""
        call {imp('QvAgentOnUpdate')}
        add rsp, 0x40
        pop rdi
        ret"""),
    # F3 0F 58 89 F0 03 00 00: addss xmm1, [rcx+3F0h].
    (23, "Steam"): ("0F 58 89 F0 03 00 00", f"""
        call {imp('QvAgentOnUpdate')}
        mov rbx, qword ptr [rsp + 0x60]
        add rsp, 0x50
        pop rdi
        ret"""),
    24: ("", ""),
}


def code_for(site_id, label):
    return CODE.get((site_id, label)) or CODE[site_id]


def s32(b, off):
    return struct.unpack_from("<i", b, off)[0]


def layout(label):
    """Returns (pieces, data) for one build. A piece is (rva, kind, asm lines)."""
    build = host_builds.BUILDS[label]
    sites = build["sites"]
    pieces = []
    data = {}

    clock = sites[5]
    callee_clock = clock["rva"] + 9 + s32(clock["bytes"], 5)
    data["qv_clock_start"] = clock["rva"] + 16 + s32(clock["bytes"], 12)
    pieces.append((callee_clock, "code", ["qv_clock_raw:", f"jmp {imp('QvSchedulerClockRaw')}"]))

    varbool = sites[13]
    callee_var = varbool["rva"] + 22 + s32(varbool["bytes"], 18)
    pieces.append((callee_var, "code", ["qv_find_var:", f"jmp {imp('QvEntityFindVar')}"]))

    # The input handler's settings global: a pointer the game fills at start.
    data["qv_input_global"] = build["input_global_rva"]

    newton = sites[21]
    data["qv_newton_user_data_slot"] = newton["rva"] + 15 + s32(newton["bytes"], 11)

    # The name table sits beside the clock's start value; in the GOG build the
    # resolver's mov rax,[rip+x] must reach it with the rel32 whose low byte is given.
    clock_page = data["qv_clock_start"] & ~(PAGE - 1)
    resolver = sites[20]
    completions = {}
    if label == "GOG":
        next_ip = resolver["rva"] + 27
        low = resolver["bytes"][23]
        target = None
        for cand in range(clock_page, clock_page + PAGE - 8, 0x100):
            t = cand | ((next_ip + low) & 0xFF)
            if t + 8 <= data["qv_clock_start"] or t >= data["qv_clock_start"] + 8:
                target = t
                break
        disp = target - next_ip
        assert disp & 0xFF == low
        completions[20] = " ".join(f"{x:02X}" for x in struct.pack("<i", disp)[1:])
        data["qv_name_table"] = target
    else:
        data["qv_name_table"] = data["qv_clock_start"] + 0x50

    for s in sites:
        comp, body = code_for(s["id"], label)
        if comp is None:
            comp = completions[s["id"]]
        raw = list(s["bytes"]) + [int(x, 16) for x in comp.split()]
        lines = [f"qv_site_{s['id']}:", ".byte " + ", ".join(f"0x{x:02X}" for x in raw)]
        lines += [ln.strip() for ln in body.strip("\n").splitlines() if ln.strip()]
        pieces.append((s["rva"], "code", lines))

    for name, rva in data.items():
        pieces.append((rva, "data", [f".globl {name}", f"{name}:", ".quad 0"]))

    limit = build["image_size"]
    for rva, _, _ in pieces:
        assert 0x1000 <= rva < limit, hex(rva)
    return pieces, data


def pages(pieces):
    by_page = {}
    for rva, kind, lines in pieces:
        page = rva & ~(PAGE - 1)
        entry = by_page.setdefault(page, {"kind": kind, "items": []})
        if entry["kind"] != kind:
            sys.exit(f"page 0x{page:X} would hold both code and data")
        entry["items"].append((rva, lines))
    return dict(sorted(by_page.items()))


def section_name(page):
    return f".q{page >> 12:05X}"[:8] if page < 0x100000000 else sys.exit("rva too large")


def write_asm(label, path):
    pieces, _ = layout(label)
    out = [f"# Host code of the {label} build at its RVAs. Generated by gen_host_image.py.",
           ".intel_syntax noprefix"]
    for page, entry in pages(pieces).items():
        flags = '"xr"' if entry["kind"] == "code" else '"dw"'
        out.append(f".section {section_name(page)},{flags}")
        for rva, lines in sorted(entry["items"]):
            # .org refuses to move backwards: overlapping pieces fail the build.
            out.append(f".org 0x{rva - page:X}")
            out.extend(lines)
    out.append("")
    with open(path, "w") as f:
        f.write("\n".join(out))


def write_table(label, path):
    build = host_builds.BUILDS[label]
    _, data = layout(label)
    rvas = ", ".join(f"0x{s['rva']:X}" for s in build["sites"])
    lens = ", ".join(str(len(s["bytes"])) for s in build["sites"])
    rows = ",\n    ".join("{" + ", ".join(f"0x{x:02X}" for x in s["bytes"]) + "}"
                          for s in build["sites"])
    text = f"""/* {label} build record. Generated by gen_host_image.py. */
#include "qv_host.h"

const QvHostBuild kQvHostBuild = {{
  L"{label}", 0x{build['timestamp']:08X}u, 0x{build['image_size']:X}u,
  {{{rvas}}},
  {{{lens}}},
  {{
    {rows}
  }},
  0x{data['qv_clock_start']:X}u, 0x{data['qv_newton_user_data_slot']:X}u, 0x{data['qv_name_table']:X}u,
  0x{data['qv_input_global']:X}u
}};
"""
    with open(path, "w") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", choices=sorted(host_builds.BUILDS))
    ap.add_argument("--asm")
    ap.add_argument("--table")
    ap.add_argument("--sections", action="store_true")
    ap.add_argument("--identity", action="store_true")
    a = ap.parse_args()
    if a.asm:
        write_asm(a.build, a.asm)
    if a.table:
        write_table(a.build, a.table)
    if a.identity:
        b = host_builds.BUILDS[a.build]
        print(f"0x{b['timestamp']:08X};0x{b['image_size']:X}", end="")
    if a.sections:
        pieces, _ = layout(a.build)
        print(";".join(f"-Wl,--section-start={section_name(p)}=0x{IMAGE_BASE + p:X}"
                       for p in pages(pieces)), end="")


if __name__ == "__main__":
    main()

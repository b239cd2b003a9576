#include "x64_decode.h"

#include <cstring>

namespace hookengine {
namespace {

constexpr size_t kMaxInsnLength = 15;

enum class Imm : uint8_t { None, B, W, Z, V, Enter, Moffs };

struct Shape {
  bool valid = true;
  bool modrm = false;
  Imm imm = Imm::None;
};

Shape OneByteShape(uint8_t op) {
  Shape s;
  if (op < 0x40) {
    const uint8_t lo = op & 7;
    if (lo < 4) s.modrm = true;
    else if (lo == 4) s.imm = Imm::B;
    else if (lo == 5) s.imm = Imm::Z;
    else s.valid = false;  // push/pop of segment registers, BCD ops: gone in long mode
    return s;
  }
  if (op >= 0x50 && op <= 0x5F) return s;
  if (op >= 0x70 && op <= 0x7F) { s.imm = Imm::B; return s; }
  if (op >= 0x84 && op <= 0x8F) { s.modrm = true; return s; }
  if (op >= 0x90 && op <= 0x9F) { s.valid = op != 0x9A; return s; }
  if (op >= 0xB0 && op <= 0xB7) { s.imm = Imm::B; return s; }
  if (op >= 0xB8 && op <= 0xBF) { s.imm = Imm::V; return s; }
  if (op >= 0xD8 && op <= 0xDF) { s.modrm = true; return s; }
  switch (op) {
    case 0x63: case 0x8F: case 0xD0: case 0xD1: case 0xD2: case 0xD3: case 0xFE: case 0xFF:
      s.modrm = true; return s;
    case 0x69: case 0x81: case 0xC7: s.modrm = true; s.imm = Imm::Z; return s;
    case 0x6B: case 0x80: case 0x83: case 0xC0: case 0xC1: case 0xC6: s.modrm = true; s.imm = Imm::B; return s;
    case 0x68: case 0xA9: case 0xE8: case 0xE9: s.imm = Imm::Z; return s;
    case 0x6A: case 0xA8: case 0xCD: case 0xE0: case 0xE1: case 0xE2: case 0xE3:
    case 0xE4: case 0xE5: case 0xE6: case 0xE7: case 0xEB:
      s.imm = Imm::B; return s;
    case 0xC2: case 0xCA: s.imm = Imm::W; return s;
    case 0xC8: s.imm = Imm::Enter; return s;
    case 0xA0: case 0xA1: case 0xA2: case 0xA3: s.imm = Imm::Moffs; return s;
    case 0x6C: case 0x6D: case 0x6E: case 0x6F: case 0xA4: case 0xA5: case 0xA6: case 0xA7:
    case 0xAA: case 0xAB: case 0xAC: case 0xAD: case 0xAE: case 0xAF: case 0xC3: case 0xC9:
    case 0xCB: case 0xCC: case 0xCF: case 0xD7: case 0xEC: case 0xED: case 0xEE: case 0xEF:
    case 0xF1: case 0xF4: case 0xF5: case 0xF8: case 0xF9: case 0xFA: case 0xFB: case 0xFC: case 0xFD:
      return s;
    case 0xF6: case 0xF7: s.modrm = true; return s;  // immediate only for /0 and /1, decided later
    default: s.valid = false; return s;  // 60 61 82 CE D4 D5 D6 EA, and escapes handled elsewhere
  }
}

Shape TwoByteShape(uint8_t op) {  // 0F xx
  Shape s;
  if (op >= 0x80 && op <= 0x8F) { s.imm = Imm::Z; return s; }
  if ((op >= 0x10 && op <= 0x23) || (op >= 0x28 && op <= 0x2F) || (op >= 0x40 && op <= 0x6F) ||
      (op >= 0x74 && op <= 0x76) || (op >= 0x78 && op <= 0x7F) || (op >= 0x90 && op <= 0x9F) ||
      (op >= 0xB0 && op <= 0xB9) || (op >= 0xBB && op <= 0xC1) || op >= 0xD0) {
    s.modrm = true;
    return s;
  }
  if (op >= 0xC8 && op <= 0xCF) return s;
  switch (op) {
    case 0x00: case 0x01: case 0x02: case 0x03: case 0x0D: case 0xA3: case 0xA5: case 0xAB:
    case 0xAD: case 0xAE: case 0xAF: case 0xC3: case 0xC7:
      s.modrm = true; return s;
    case 0x0F: case 0x70: case 0x71: case 0x72: case 0x73: case 0xA4: case 0xAC: case 0xBA:
    case 0xC2: case 0xC4: case 0xC5: case 0xC6:
      s.modrm = true; s.imm = Imm::B; return s;
    case 0x05: case 0x06: case 0x07: case 0x08: case 0x09: case 0x0B: case 0x0E: case 0x30:
    case 0x31: case 0x32: case 0x33: case 0x34: case 0x35: case 0x37: case 0x77: case 0xA0:
    case 0xA1: case 0xA2: case 0xA8: case 0xA9: case 0xAA:
      return s;
    default: s.valid = false; return s;
  }
}

// Opcodes of the 0F map that carry an 8-bit immediate when VEX/EVEX-encoded.
bool VexMap1HasImm8(uint8_t op) {
  return (op >= 0x70 && op <= 0x73) || op == 0xC2 || op == 0xC4 || op == 0xC5 || op == 0xC6;
}

}  // namespace

X64Insn DecodeX64(const uint8_t* code, size_t available) {
  const size_t limit = available < kMaxInsnLength ? available : kMaxInsnLength;
  size_t n = 0;
  bool opsize16 = false;
  bool repne = false;
  bool addr32 = false;
  bool rexW = false;
  bool rex = false;

  for (;; ++n) {
    if (n >= limit) return {};
    const uint8_t b = code[n];
    if (b == 0x66) opsize16 = true;
    else if (b == 0xF2) repne = true;
    else if (b == 0x67) addr32 = true;
    else if (b != 0xF0 && b != 0xF2 && b != 0xF3 && b != 0x2E && b != 0x36 && b != 0x3E && b != 0x26 &&
             b != 0x64 && b != 0x65)
      break;
  }
  if ((code[n] & 0xF0) == 0x40) {
    rex = true;
    rexW = (code[n] & 0x08) != 0;
    if (++n >= limit) return {};
  }

  X64Insn insn;
  uint8_t op = code[n++];
  Shape shape;
  int map = 0;  // 0: one-byte, 1: 0F, 2: 0F 38, 3: 0F 3A
  bool vex = false;

  if (op == 0xC4 || op == 0xC5 || op == 0x62) {
    const uint8_t escape = op;
    // In long mode these bytes are always VEX/EVEX; legacy prefixes before them are #UD.
    if (rex || opsize16) return {};
    size_t payload = op == 0xC5 ? 1 : op == 0xC4 ? 2 : 3;
    if (n + payload >= limit) return {};
    if (op == 0xC5) map = 1;
    else if (op == 0xC4) map = code[n] & 0x1F;
    else map = code[n] & 0x07;
    if (op == 0xC4) rexW = (code[n + 1] & 0x80) != 0;
    n += payload;
    if (map < 1 || map > 6 || map == 4 || (op != 0x62 && map > 3)) return {};
    op = code[n++];
    vex = true;
    shape.modrm = !(escape != 0x62 && map == 1 && op == 0x77);  // vzeroupper/vzeroall
    if (map == 3 || (map == 1 && VexMap1HasImm8(op))) shape.imm = Imm::B;
  } else if (op == 0x0F) {
    if (n >= limit) return {};
    op = code[n++];
    if (op == 0x38 || op == 0x3A) {
      map = op == 0x38 ? 2 : 3;
      if (n >= limit) return {};
      op = code[n++];
      shape.modrm = true;
      if (map == 3) shape.imm = Imm::B;
    } else {
      map = 1;
      shape = TwoByteShape(op);
    }
  } else {
    shape = OneByteShape(op);
  }
  if (!shape.valid) return {};
  insn.opcode = op;

  uint8_t modrm = 0;
  uint8_t modrmReg = 0;
  if (shape.modrm) {
    if (n >= limit) return {};
    modrm = code[n++];
    const uint8_t mod = modrm >> 6;
    const uint8_t rm = modrm & 7;
    modrmReg = (modrm >> 3) & 7;
    size_t disp = 0;
    if (mod != 3) {
      if (rm == 4) {
        if (n >= limit) return {};
        const uint8_t sib = code[n++];
        if (mod == 0 && (sib & 7) == 5) disp = 4;
      }
      if (mod == 0 && rm == 5) {
        // EIP-relative (with 0x67) wraps at 4 GB; nothing sane emits it, so refuse it.
        if (addr32) return {};
        insn.ripRelative = true;
        insn.dispOffset = static_cast<uint8_t>(n);
        disp = 4;
      } else if (mod == 1) {
        disp = 1;
      } else if (mod == 2) {
        disp = 4;
      }
    }
    n += disp;
    // inc/dec r/m8 and the FF group leave /2../7 and /7 undefined. 8F is pop only as /0; any other
    // reg field is AMD's XOP prefix, whose maps and immediates we do not decode.
    if (map == 0 && ((op == 0xFE && modrmReg >= 2) || (op == 0xFF && modrmReg == 7) || (op == 0x8F && modrmReg != 0)))
      return {};
  }

  size_t imm = 0;
  switch (shape.imm) {
    case Imm::None: break;
    case Imm::B: imm = 1; break;
    case Imm::W: imm = 2; break;
    case Imm::Z: imm = opsize16 && !rexW ? 2 : 4; break;  // REX.W outranks 0x66
    case Imm::V: imm = rexW ? 8 : opsize16 ? 2 : 4; break;
    case Imm::Enter: imm = 3; break;
    case Imm::Moffs: imm = addr32 ? 4 : 8; break;
  }
  if (map == 0 && (op == 0xF6 || op == 0xF7) && modrmReg < 2) imm = op == 0xF6 ? 1 : (opsize16 && !rexW ? 2 : 4);
  // extrq/insertq (66 or F2 0F 78, register forms only) carry two 8-bit immediates where
  // vmread has none.
  if (!vex && map == 1 && op == 0x78 && (opsize16 || repne) && (modrm >> 6) == 3) imm = 2;
  n += imm;
  if (n > limit) return {};

  if (!vex) {
    if (map == 0) {
      const bool rel8 = (op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3) || op == 0xEB;
      const bool rel32 = op == 0xE8 || op == 0xE9;
      if (rel8 || rel32) {
        // A 16-bit operand size truncates RIP; no compiler emits it, so refuse it.
        if (opsize16) return {};
        insn.branch = op == 0xE8                 ? X64Branch::Call
                      : (op == 0xE9 || op == 0xEB) ? X64Branch::Jmp
                      : op >= 0xE0                 ? X64Branch::Loop
                                                   : X64Branch::Jcc;
        insn.relSize = rel8 ? 1 : 4;
        insn.relOffset = static_cast<uint8_t>(n - insn.relSize);
      }
      // xbegin's abort address is relative too; it has no place in a prologue, so refuse it.
      if (op == 0xC7 && modrm == 0xF8) return {};
      insn.endsFlow = op == 0xC3 || op == 0xC2 || op == 0xCA || op == 0xCB || op == 0xCC || op == 0xCF ||
                      op == 0xE9 || op == 0xEB || op == 0xF4 ||
                      (op == 0xFF && (modrmReg == 4 || modrmReg == 5));
    } else if (map == 1) {
      if (op >= 0x80 && op <= 0x8F) {
        if (opsize16) return {};
        insn.branch = X64Branch::Jcc;
        insn.relSize = 4;
        insn.relOffset = static_cast<uint8_t>(n - 4);
      }
      insn.endsFlow = op == 0x0B;  // ud2
    }
  }
  insn.length = static_cast<uint8_t>(n);
  return insn;
}

int64_t X64BranchDisplacement(const uint8_t* code, const X64Insn& insn) {
  if (insn.relSize == 1) return static_cast<int8_t>(code[insn.relOffset]);
  int32_t rel;
  std::memcpy(&rel, code + insn.relOffset, sizeof rel);
  return rel;
}

}  // namespace hookengine

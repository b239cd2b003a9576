#include "trampoline.h"

#include <cstring>

#include "x64_decode.h"

namespace hookengine {
namespace {

struct Writer {
  uint8_t* out;
  Trampoline& t;
  size_t pos = 0;
  bool ok = true;

  bool Room(size_t n) {
    if (pos + n > kMaxTrampolineLength) ok = false;
    return ok;
  }
  void Bytes(const void* p, size_t n) {
    if (!Room(n)) return;
    std::memcpy(out + pos, p, n);
    pos += n;
  }
  void Byte(uint8_t b) { Bytes(&b, 1); }
  void U64(uint64_t v) { Bytes(&v, sizeof v); }
  void Point(uintptr_t original) {
    if (t.pointCount == kMaxResumePoints) {
      ok = false;
      return;
    }
    t.points[t.pointCount++] = {static_cast<uint8_t>(pos), original};
  }
  // jmp [rip+0] followed by the address: reaches anywhere, changes no register or flag.
  void JumpAbsolute(uintptr_t dest) {
    static const uint8_t kJmp[] = {0xFF, 0x25, 0, 0, 0, 0};
    Bytes(kJmp, sizeof kJmp);
    U64(dest);
  }
};

bool InPatch(uintptr_t target, uintptr_t address) { return address >= target && address < target + kPatchLength; }

}  // namespace

bool BuildTrampoline(uintptr_t target, const uint8_t* code, size_t codeLength, uintptr_t outAddress, uint8_t* out,
                     Trampoline& result) {
  result = Trampoline{};
  Writer w{out, result};
  size_t offset = 0;
  bool flowEnded = false;

  while (offset < kPatchLength) {
    const X64Insn insn = DecodeX64(code + offset, codeLength - offset);
    if (insn.length == 0) return false;
    const uint8_t* bytes = code + offset;
    const uintptr_t ip = target + offset;
    const uintptr_t next = ip + insn.length;
    w.Point(ip);

    if (insn.branch != X64Branch::None) {
      const uintptr_t dest = next + static_cast<uintptr_t>(X64BranchDisplacement(bytes, insn));
      // Landing inside the bytes the jump replaces would execute half an instruction.
      if (InPatch(target, dest)) return false;
      switch (insn.branch) {
        case X64Branch::Jmp:
          w.JumpAbsolute(dest);
          break;
        case X64Branch::Jcc: {
          // Inverted short jcc over an absolute jump to the original destination.
          const uint8_t condition = insn.opcode & 0x0F;
          w.Byte(static_cast<uint8_t>(0x70 | (condition ^ 1)));
          w.Byte(14);
          w.Point(dest);
          w.JumpAbsolute(dest);
          break;
        }
        case X64Branch::Call: {
          // push [return address]; jmp [callee]. The callee returns straight into the
          // target, after the patched bytes, so no stack ever holds a trampoline address
          // and removing the hook cannot strand a return.
          static const uint8_t kPushJmp[] = {0xFF, 0x35, 14, 0, 0, 0, 0xFF, 0x25, 0, 0, 0, 0};
          w.Bytes(kPushJmp, 6);
          w.Point(dest);
          w.Bytes(kPushJmp + 6, 6);
          w.U64(dest);
          w.U64(next);
          break;
        }
        case X64Branch::Loop: {
          // loop/jrcxz have no inverse: taken hops to the absolute jump, not taken skips it.
          // The prefixes stay: 0x67 makes them count or test ECX instead of RCX.
          w.Bytes(bytes, insn.relOffset);
          w.Byte(2);
          w.Point(next);
          w.Byte(0xEB);
          w.Byte(14);
          w.Point(dest);
          w.JumpAbsolute(dest);
          break;
        }
        case X64Branch::None:
          break;
      }
    } else if (insn.ripRelative) {
      int32_t disp;
      std::memcpy(&disp, bytes + insn.dispOffset, sizeof disp);
      const uintptr_t referent = next + static_cast<uintptr_t>(static_cast<int64_t>(disp));
      const uintptr_t newNext = outAddress + w.pos + insn.length;
      const int64_t newDisp = static_cast<int64_t>(referent - newNext);
      if (newDisp < INT32_MIN || newDisp > INT32_MAX) return false;
      const int32_t patched = static_cast<int32_t>(newDisp);
      const size_t at = w.pos;
      w.Bytes(bytes, insn.length);
      if (w.ok) std::memcpy(out + at + insn.dispOffset, &patched, sizeof patched);
    } else {
      w.Bytes(bytes, insn.length);
    }

    offset += insn.length;
    if (insn.endsFlow) {
      flowEnded = true;
      break;
    }
  }
  // A function that returns or jumps away before 5 bytes is shorter than the patch: its
  // neighbour's bytes would be overwritten.
  if (offset < kPatchLength) return false;
  if (!flowEnded) {
    w.Point(target + offset);
    w.JumpAbsolute(target + offset);
  }
  if (!w.ok) return false;
  result.length = static_cast<uint8_t>(w.pos);
  result.copiedLength = static_cast<uint8_t>(offset);
  return true;
}

}  // namespace hookengine

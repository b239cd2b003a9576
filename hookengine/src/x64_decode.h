// Length and operand decoder for x86_64 instructions, enough to move a function's
// first instructions somewhere else: it reports where the relative parts are.
#pragma once
#include <cstddef>
#include <cstdint>

namespace hookengine {

enum class X64Branch : uint8_t {
  None,
  Jmp,   // EB rel8, E9 rel32
  Jcc,   // 70-7F rel8, 0F 80-8F rel32
  Call,  // E8 rel32
  Loop,  // E0-E3 rel8: loopne, loope, loop, jrcxz
};

struct X64Insn {
  uint8_t length = 0;        // 0: not decodable (invalid, truncated or deliberately refused)
  bool ripRelative = false;  // memory operand [rip + disp32]
  uint8_t dispOffset = 0;    // where that disp32 sits in the instruction
  X64Branch branch = X64Branch::None;
  uint8_t relOffset = 0;     // where a branch's displacement sits
  uint8_t relSize = 0;       // 1 or 4
  uint8_t opcode = 0;        // last opcode byte; for Jcc its low nibble is the condition
  bool endsFlow = false;     // ret, jmp, int3, ud2...: the next bytes need not be code
};

// Decodes the instruction at code, reading at most available bytes.
X64Insn DecodeX64(const uint8_t* code, size_t available);

// Signed displacement of a decoded branch.
int64_t X64BranchDisplacement(const uint8_t* code, const X64Insn& insn);

}  // namespace hookengine

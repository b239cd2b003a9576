// The hook engine's length decoder against LLVM's disassembler: wherever ours accepts an
// instruction, both must agree on its length, on a RIP-relative operand and its displacement,
// and on a relative branch and its target. Refusing what LLVM decodes is allowed (fail-closed).
// The host's prologues are ordinary compiler output: anything LLVM reads, ours must read alike.
// The bytes sit in a buffer exactly as long as the input, so reading past them is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "llvm_disasm.h"
#include "x64_decode.h"

namespace {

[[noreturn]] void Fail(const char* what, const uint8_t* code, size_t n, const Disassembled& d, int ours) {
  std::fprintf(stderr, "decoder disagrees (%s): ours %d, llvm %zu '%s':", what, ours, d.length, d.text.c_str());
  for (size_t i = 0; i < n; ++i) std::fprintf(stderr, " %02X", code[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

// The signed number after "rip" in an operand ("[rip + 16]", "[rip - 4]", "[rip]"); false if none.
bool RipDisplacement(const std::string& operands, int64_t& disp) {
  const size_t at = operands.find("rip");
  if (at == std::string::npos) return false;
  const char* p = operands.c_str() + at + 3;
  disp = 0;
  if (*p == ']') return true;
  if (p[0] != ' ' || (p[1] != '+' && p[1] != '-')) return false;
  disp = std::strtoll(p + 3, nullptr, 10);
  if (p[1] == '-') disp = -disp;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> exact(data, data + size);
  const hookengine::X64Insn insn = hookengine::DecodeX64(exact.data(), exact.size());
  if (insn.length == 0) return 0;
  if (insn.length > size || insn.length > 15) Fail("length past the input", data, size, {}, insn.length);

  const uint64_t address = 0x140001000;
  const Disassembled d = Disassemble(data, size, address);
  // What LLVM cannot decode at all is an undefined instruction (a VEX opcode nothing defines,
  // say): the copy faults just as the original would, so its length is not a meaning to keep.
  if (d.length == 0 || d.prefixOnly) return 0;
  if (d.length != insn.length) Fail("length", data, size, d, insn.length);

  int64_t disp = 0;
  const bool llvmRip = RipDisplacement(d.operands, disp);
  if (llvmRip != insn.ripRelative) Fail("rip-relative", data, size, d, insn.length);
  if (insn.ripRelative) {
    int32_t ours = 0;
    std::memcpy(&ours, data + insn.dispOffset, 4);
    if (ours != disp) Fail("rip displacement", data, size, d, insn.length);
  }
  if (insn.branch != hookengine::X64Branch::None) {
    // LLVM prints a relative branch's operand as the displacement from the next instruction.
    char* end = nullptr;
    const long long llvmDisp = std::strtoll(d.operands.c_str(), &end, 10);
    if (end == d.operands.c_str() || *end != '\0') Fail("branch without a relative operand", data, size, d, insn.length);
    if (llvmDisp != hookengine::X64BranchDisplacement(data, insn)) Fail("branch displacement", data, size, d, insn.length);
    const bool call = d.mnemonic == "call";
    if (call != (insn.branch == hookengine::X64Branch::Call)) Fail("branch kind", data, size, d, insn.length);
  }
  return 0;
}

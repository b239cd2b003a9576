#pragma once
// LLVM's x86-64 disassembler as an independent opinion on instruction lengths and meaning.
#include <cstddef>
#include <cstdint>
#include <string>

struct Disassembled {
  size_t length = 0;  // 0: LLVM could not decode it
  std::string text;   // Intel syntax, e.g. "mov rax, qword ptr [rip + 16]"
  std::string mnemonic;  // the last word before the operands, prefixes such as "lock" skipped
  std::string operands;
  bool prefixOnly = false;  // LLVM gave back a lone prefix: what follows it is not an instruction
};

Disassembled Disassemble(const uint8_t* code, size_t available, uint64_t address);

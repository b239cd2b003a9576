#include "llvm_disasm.h"

#include <llvm-c/Disassembler.h>
#include <llvm-c/Target.h>

#include <cctype>

namespace {

LLVMDisasmContextRef Context() {
  static LLVMDisasmContextRef context = [] {
    LLVMInitializeX86TargetInfo();
    LLVMInitializeX86TargetMC();
    LLVMInitializeX86Disassembler();
    LLVMDisasmContextRef c = LLVMCreateDisasm("x86_64-pc-windows", nullptr, 0, nullptr, nullptr);
    LLVMSetDisasmOptions(c, LLVMDisassembler_Option_AsmPrinterVariant);  // Intel syntax
    return c;
  }();
  return context;
}

bool IsPrefixWord(const std::string& w) {
  return w == "lock" || w == "rep" || w == "repe" || w == "repne" || w == "data16" || w == "data32" ||
         w == "addr32" || w == "rex64" || w == "rex" || w == "notrack" || w == "bnd" || w == "cs" || w == "ds" ||
         w == "es" || w == "ss" || w == "fs" || w == "gs" || w == "xacquire" || w == "xrelease" || w == "{vex}" ||
         w == "{vex3}" || w == "{evex}";
}

}  // namespace

Disassembled Disassemble(const uint8_t* code, size_t available, uint64_t address) {
  Disassembled d;
  char buffer[256];
  d.length = LLVMDisasmInstruction(Context(), const_cast<uint8_t*>(code), available, address, buffer, sizeof buffer);
  if (d.length == 0) return d;
  d.text = buffer;
  // Split into words separated by tabs/spaces; the mnemonic is the first word that is not a prefix.
  size_t i = 0;
  const std::string& t = d.text;
  while (i < t.size()) {
    while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
    size_t j = i;
    while (j < t.size() && !std::isspace(static_cast<unsigned char>(t[j]))) ++j;
    if (i == j) break;
    const std::string word = t.substr(i, j - i);
    if (!IsPrefixWord(word) || j >= t.size()) {
      d.prefixOnly = IsPrefixWord(word);
      d.mnemonic = word;
      while (j < t.size() && std::isspace(static_cast<unsigned char>(t[j]))) ++j;
      d.operands = t.substr(j);
      break;
    }
    i = j;
  }
  return d;
}

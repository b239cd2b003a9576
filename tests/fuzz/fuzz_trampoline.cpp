// The trampoline builder over arbitrary prologues, checked for meaning, not only length: both the
// original bytes and the trampoline are read with LLVM's disassembler and walked side by side as
// control-flow graphs. Every plain instruction must do the same (RIP-relative operands compared as
// the absolute addresses they reach), every branch must test the same condition and lead to
// equivalent places, a call must push the same return address, and whatever leaves the copied
// bytes must arrive where the original would. Nothing is executed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "llvm_disasm.h"
#include "trampoline.h"

namespace {

using hookengine::kPatchLength;

struct Code {
  const uint8_t* bytes;
  uint64_t base;
  size_t size;
  bool trampoline;
  std::set<uint64_t> starts;  // original: the instructions the trampoline stands in for
};

enum class Kind { Exit, Effect, Terminal, Push, Cond, Loop, Bad };

struct Node {
  Kind kind = Kind::Bad;
  uint64_t value = 0;  // Exit: destination; Push: the value pushed
  std::string key;     // what the instruction does, in position-independent form
  uint64_t a = 0;      // next, or where a condition that holds leads
  uint64_t b = 0;      // where a condition that fails leads
};

bool Inside(const Code& c, uint64_t address) {
  if (c.trampoline) return address >= c.base && address < c.base + c.size;
  return c.starts.count(address) != 0;
}

bool Literal(const Code& c, uint64_t address, uint64_t& value) {
  if (!c.trampoline || address < c.base || address + 8 > c.base + c.size) return false;
  std::memcpy(&value, c.bytes + (address - c.base), 8);
  return true;
}

// "[rip + N]" becomes the absolute address it reaches.
std::string Absolute(const std::string& text, uint64_t next, uint64_t* reach = nullptr) {
  const size_t at = text.find("[rip");
  if (at == std::string::npos) return text;
  const size_t close = text.find(']', at);
  int64_t disp = 0;
  if (text[at + 4] == ' ') disp = std::strtoll(text.c_str() + at + 7, nullptr, 10) * (text[at + 5] == '-' ? -1 : 1);
  const uint64_t target = next + static_cast<uint64_t>(disp);
  if (reach != nullptr) *reach = target;
  char abs[40];
  std::snprintf(abs, sizeof abs, "[abs 0x%llx]", static_cast<unsigned long long>(target));
  return text.substr(0, at) + abs + text.substr(close + 1);
}

bool Relative(const std::string& operands, int64_t& disp) {
  char* end = nullptr;
  disp = std::strtoll(operands.c_str(), &end, 10);
  return end != operands.c_str() && *end == '\0';
}

const char* PositiveCondition(const std::string& m, bool& negated) {
  static const char* const kPairs[][2] = {{"jo", "jno"}, {"jb", "jae"}, {"je", "jne"}, {"jbe", "ja"},
                                          {"js", "jns"}, {"jp", "jnp"}, {"jl", "jge"}, {"jle", "jg"}};
  for (const auto& p : kPairs) {
    if (m == p[0]) return negated = false, p[0];
    if (m == p[1]) return negated = true, p[0];
  }
  return nullptr;
}

Node At(const Code& c, uint64_t address) {
  for (int hops = 0; hops < 64; ++hops) {
    Node n;
    if (!Inside(c, address)) {
      n.kind = Kind::Exit;
      n.value = address;
      return n;
    }
    const size_t offset = static_cast<size_t>(address - c.base);
    const Disassembled d = Disassemble(c.bytes + offset, c.size - offset, address);
    if (d.length == 0 || d.prefixOnly) return n;
    const uint64_t next = address + d.length;
    int64_t disp = 0;
    const bool relative = Relative(d.operands, disp);
    const uint64_t dest = next + static_cast<uint64_t>(disp);
    uint64_t reach = 0;
    uint64_t literal = 0;
    const std::string text = d.mnemonic + " " + Absolute(d.operands, next, &reach);

    if (d.mnemonic == "jmp" && relative) {
      address = dest;
      continue;
    }
    if (d.mnemonic == "jmp" && d.operands == "qword ptr [rip]" && Literal(c, reach, literal)) {
      // The builder's own absolute jump always leaves the trampoline, even to an address the
      // fuzzed layout happens to give the trampoline itself.
      n.kind = Kind::Exit;
      n.value = literal;
      return n;
    }
    bool negated = false;
    if (const char* condition = relative ? PositiveCondition(d.mnemonic, negated) : nullptr) {
      n.kind = Kind::Cond;
      n.key = condition;
      n.a = negated ? next : dest;
      n.b = negated ? dest : next;
      return n;
    }
    if (relative && (d.mnemonic.rfind("loop", 0) == 0 || d.mnemonic == "jecxz" || d.mnemonic == "jrcxz")) {
      // LLVM prints loop and loopd alike: the prefixes before the opcode tell them apart.
      n.kind = Kind::Loop;
      n.key = d.mnemonic;
      for (size_t i = 0; i + 2 < d.length; ++i) n.key += " " + std::to_string(c.bytes[offset + i]);
      n.a = dest;
      n.b = next;
      return n;
    }
    if (d.mnemonic == "call" && relative) {
      n.kind = Kind::Push;  // a call is a push of the return address, then a jump
      n.value = next;
      n.a = dest;
      return n;
    }
    if (d.mnemonic == "push" && d.operands.rfind("qword ptr [rip", 0) == 0 && Literal(c, reach, literal)) {
      n.kind = Kind::Push;
      n.value = literal;
      n.a = next;
      return n;
    }
    const std::string& m = d.mnemonic;
    const bool ends = m.rfind("ret", 0) == 0 || m.rfind("lret", 0) == 0 || m.rfind("iret", 0) == 0 || m == "int3" ||
                      m == "ud2" || m == "hlt" || m == "ljmp" || m == "jmp";
    n.kind = ends ? Kind::Terminal : Kind::Effect;
    n.key = text;
    n.a = next;
    return n;
  }
  Node spin;
  spin.kind = Kind::Terminal;
  spin.key = "spin";
  return spin;
}

struct Walk {
  const Code& original;
  const Code& trampoline;
  uint64_t target;
  std::set<std::pair<uint64_t, uint64_t>> seen;
  std::string why;

  bool Same(uint64_t o, uint64_t t) {
    if (!seen.insert({o, t}).second) return true;
    const Node a = At(original, o);
    const Node b = At(trampoline, t);
    char where[96];
    std::snprintf(where, sizeof where, " (original 0x%llx, trampoline 0x%llx)", static_cast<unsigned long long>(o),
                  static_cast<unsigned long long>(t));
    if (a.kind == Kind::Bad || b.kind == Kind::Bad) return why = std::string("undecodable") + where, false;
    if (a.kind != b.kind) return why = "different kinds: '" + a.key + "' / '" + b.key + "'" + where, false;
    switch (a.kind) {
      case Kind::Exit:
        // The first bytes of the target hold the hook's jump: arriving there is never the original path.
        if (b.value >= target && b.value < target + kPatchLength) return why = std::string("into the patch") + where, false;
        return a.value == b.value || (why = std::string("leaves for another address") + where, false);
      case Kind::Terminal:
        return a.key == b.key || (why = "'" + a.key + "' / '" + b.key + "'" + where, false);
      case Kind::Effect:
        if (a.key != b.key) return why = "'" + a.key + "' / '" + b.key + "'" + where, false;
        return Same(a.a, b.a);
      case Kind::Push:
        if (a.value != b.value) return why = std::string("pushes another return address") + where, false;
        return Same(a.a, b.a);
      case Kind::Cond:
      case Kind::Loop:
        if (a.key != b.key) return why = "'" + a.key + "' / '" + b.key + "'" + where, false;
        return Same(a.a, b.a) && Same(a.b, b.b);
      case Kind::Bad:
        break;
    }
    return false;
  }
};

[[noreturn]] void Fail(const std::string& why, const uint8_t* code, size_t n) {
  std::fprintf(stderr, "trampoline differs from the original: %s; code:", why.c_str());
  for (size_t i = 0; i < n; ++i) std::fprintf(stderr, " %02X", code[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8 + kPatchLength) return 0;
  uint32_t where = 0;
  int32_t distance = 0;
  std::memcpy(&where, data, 4);
  std::memcpy(&distance, data + 4, 4);
  const uint64_t target = 0x7FF600000000ull + where;
  // Up to +-4 GB away: far enough that some RIP-relative operands can no longer reach.
  uint64_t out = target + static_cast<uint64_t>(int64_t{distance} * 2);
  // A trampoline overlapping its own target is no real layout (it lives in its own allocation).
  if (out + 256 > target && out < target + 256) out += 0x1000;
  const std::vector<uint8_t> code(data + 8, data + (size - 8 > 64 ? 72 : size));
  std::vector<uint8_t> buffer(hookengine::kMaxTrampolineLength);
  hookengine::Trampoline t;
  if (!hookengine::BuildTrampoline(target, code.data(), code.size(), out, buffer.data(), t)) return 0;
  if (t.copiedLength < kPatchLength || t.copiedLength > code.size() || t.length > buffer.size()) Fail("sizes", code.data(), code.size());

  Code original{code.data(), target, code.size(), false, {}};
  for (uint64_t at = target; at < target + t.copiedLength;) {
    original.starts.insert(at);
    const Disassembled d = Disassemble(code.data() + (at - target), code.size() - (at - target), at);
    // An undefined instruction faults in the copy as in the original; nothing more to compare.
    if (d.length == 0 || d.prefixOnly) return 0;
    at += d.length;
    if (at > target + t.copiedLength) Fail("instruction boundaries differ from LLVM's", code.data(), code.size());
  }
  const Code trampoline{buffer.data(), out, t.length, true, {}};
  Walk walk{original, trampoline, target, {}, {}};
  if (!walk.Same(target, out)) Fail(walk.why, code.data(), code.size());
  return 0;
}

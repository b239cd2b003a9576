#include "code_region.h"

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

CodeRegion::CodeRegion(size_t size) : size_(size) {
  base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  if (base_ == nullptr) throw std::runtime_error("VirtualAlloc failed");
  // Every qword distinct, so an operand that reads a wrong address reads a wrong value.
  uint64_t* q = reinterpret_cast<uint64_t*>(base_);
  for (size_t i = 0; i < size / 8; ++i) q[i] = (i * 0x9E3779B97F4A7C15ull) ^ 0x5A5A00005A5A0000ull;
  std::memset(At(kCounterOffset), 0, 4);
  const uint64_t vtable = Address(kVtableOffset);
  std::memcpy(At(kObjectA), &vtable, 8);
  for (int i = 0; i < 4; ++i) {
    const uint64_t callee = Address(kCalleeOffset);
    std::memcpy(At(kVtableOffset + 8 * i), &callee, 8);
  }
  PutCallee(kCalleeOffset);
}

CodeRegion::~CodeRegion() { VirtualFree(base_, 0, MEM_RELEASE); }

size_t CodeRegion::Put(size_t offset, const std::vector<uint8_t>& bytes) {
  std::memcpy(At(offset), bytes.data(), bytes.size());
  return offset + bytes.size();
}

size_t CodeRegion::PutJumpTo(size_t offset, uintptr_t address) {
  const size_t at = Put(offset, {0xFF, 0x25, 0, 0, 0, 0});
  std::memcpy(At(at), &address, 8);
  return at + 8;
}

size_t CodeRegion::PutJumpToCapture(size_t offset) {
  return PutJumpTo(offset, reinterpret_cast<uintptr_t>(&ProbeCapture));
}

void CodeRegion::PutCallee(size_t offset) {
  // inc dword [rip+counter]; mov rax, C; ret
  const int32_t disp = static_cast<int32_t>(static_cast<int64_t>(kCounterOffset) - static_cast<int64_t>(offset + 6));
  size_t at = Put(offset, {0xFF, 0x05});
  std::memcpy(At(at), &disp, 4);
  at = Put(at + 4, {0x48, 0xB8});
  const uint64_t c = Address(kObjectC);
  std::memcpy(At(at), &c, 8);
  Put(at + 8, {0xC3});
}

void CodeRegion::Seal(size_t offset, size_t size) {
  DWORD old;
  if (!VirtualProtect(At(offset), size, PAGE_EXECUTE_READ, &old)) throw std::runtime_error("VirtualProtect failed");
  const size_t page = 0x1000;
  sealedBegin_ = offset / page * page;
  sealedEnd_ = (offset + size + page - 1) / page * page;
  FlushInstructionCache(GetCurrentProcess(), At(offset), size);
}

void CodeRegion::Remember() { pristine_.assign(base_, base_ + size_); }

void CodeRegion::Restore() {
  std::memcpy(base_, pristine_.data(), sealedBegin_);
  std::memcpy(base_ + sealedEnd_, pristine_.data() + sealedEnd_, size_ - sealedEnd_);
}

std::vector<uint8_t> CodeRegion::Snapshot() const {
  std::vector<uint8_t> out(base_, base_ + sealedBegin_);
  out.insert(out.end(), base_ + sealedEnd_, base_ + size_);
  return out;
}

uint32_t CodeRegion::Counter() const {
  uint32_t c;
  std::memcpy(&c, At(kCounterOffset), 4);
  return c;
}

bool ProbeResult::operator==(const ProbeResult& other) const {
  return std::memcmp(gpr, other.gpr, sizeof gpr) == 0 && std::memcmp(xmm, other.xmm, sizeof xmm) == 0 &&
         memory == other.memory;
}

ProbeState DefaultProbeInputs(const CodeRegion& region) {
  ProbeState s = {};
  for (int r = 0; r < 16; ++r) s.in[r] = 0x1111111111111111ull * static_cast<uint64_t>(r + 1) ^ 0x0123456789ull;
  s.in[kRcx] = region.Address(kObjectA);
  s.in[kRdx] = region.Address(kObjectB);
  s.in[kR8] = region.Address(kObjectC);
  s.in[kR9] = region.Address(kObjectD);
  for (int r = 0; r < 16; ++r)
    for (int b = 0; b < 16; ++b) s.inXmm[r][b] = static_cast<uint8_t>(r * 16 + b + 1);
  s.stackTop = region.Address(kStackTop);
  return s;
}

ProbeResult RunProbe(CodeRegion& region, const void* fn, ProbeState inputs) {
  region.Restore();
  inputs.function = reinterpret_cast<uintptr_t>(fn);
  ProbeRun(&inputs);
  ProbeResult r;
  std::memcpy(r.gpr, inputs.out, sizeof r.gpr);
  std::memcpy(r.xmm, inputs.outXmm, sizeof r.xmm);
  r.memory = region.Snapshot();
  return r;
}

std::string DescribeDifference(const ProbeResult& a, const ProbeResult& b) {
  std::ostringstream s;
  s << std::hex;
  for (int r = 0; r < 16; ++r)
    if (a.gpr[r] != b.gpr[r]) s << "register " << std::dec << r << std::hex << ": " << a.gpr[r] << " vs " << b.gpr[r] << "; ";
  if (std::memcmp(a.xmm, b.xmm, sizeof a.xmm) != 0) s << "xmm registers differ; ";
  for (size_t i = 0; i < a.memory.size() && i < b.memory.size(); ++i)
    if (a.memory[i] != b.memory[i]) {
      s << "memory at snapshot offset 0x" << i << ": " << int{a.memory[i]} << " vs " << int{b.memory[i]};
      break;
    }
  return s.str();
}

// Executable memory for hand-built test functions, with a fixed layout of the data they
// touch, and a probe run that records everything a call changed.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "probe.h"

// Fixed places inside every region.
constexpr size_t kVtableOffset = 0x1000;   // object A's first qword points here
constexpr size_t kCalleeOffset = 0x2000;   // the callee the vtable and call slots name
constexpr size_t kCounterOffset = 0x3000;  // dword every placed callee increments
constexpr size_t kObjectA = 0x20000;       // rcx
constexpr size_t kObjectB = 0x30000;       // rdx
constexpr size_t kObjectC = 0x38000;       // r8, and every callee's return value
constexpr size_t kObjectD = 0x3C000;       // r9
constexpr size_t kStackTop = 0x4F000;      // a private stack, so its contents compare too

class CodeRegion {
 public:
  explicit CodeRegion(size_t size);
  ~CodeRegion();
  CodeRegion(const CodeRegion&) = delete;
  CodeRegion& operator=(const CodeRegion&) = delete;

  uint8_t* At(size_t offset) const { return base_ + offset; }
  uintptr_t Address(size_t offset) const { return reinterpret_cast<uintptr_t>(base_) + offset; }
  size_t Size() const { return size_; }

  // Writes bytes at offset; returns the offset just past them.
  size_t Put(size_t offset, const std::vector<uint8_t>& bytes);
  // jmp [rip+0] to ProbeCapture: how a test function ends. Returns the offset past it.
  size_t PutJumpToCapture(size_t offset);
  // jmp [rip+0] to an absolute address.
  size_t PutJumpTo(size_t offset, uintptr_t address);
  // A callee that increments the counter and returns object C's address.
  void PutCallee(size_t offset);
  // Makes [offset, offset+size) read-only code, as in a real image, and keeps it out of
  // the snapshots (hooking legitimately changes it).
  void Seal(size_t offset, size_t size);

  // Remembers the current contents; Restore puts them back (sealed pages excluded).
  void Remember();
  void Restore();

  // Current contents, sealed pages excluded.
  std::vector<uint8_t> Snapshot() const;

  uint32_t Counter() const;

 private:
  uint8_t* base_;
  size_t size_;
  size_t sealedBegin_ = 0;
  size_t sealedEnd_ = 0;
  std::vector<uint8_t> pristine_;
};

struct ProbeResult {
  uint64_t gpr[16];
  uint8_t xmm[16][16];
  std::vector<uint8_t> memory;  // the whole region, sealed code excluded
  bool operator==(const ProbeResult& other) const;
};

// Registers a test function starts with: rcx..r9 point at objects A..D, the rest hold
// distinct values.
ProbeState DefaultProbeInputs(const CodeRegion& region);

// Restores the region, calls fn with the inputs and records what it left behind.
ProbeResult RunProbe(CodeRegion& region, const void* fn, ProbeState inputs);

// First differing register or memory byte, for failure messages.
std::string DescribeDifference(const ProbeResult& a, const ProbeResult& b);


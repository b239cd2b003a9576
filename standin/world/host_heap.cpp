#include "host_heap.h"

#include <windows.h>

#include <cstdlib>

namespace qv {
namespace {

constexpr size_t kPage = 0x1000;
constexpr size_t kReserve = size_t{256} << 20;

struct HostHeap {
  uint8_t* base = nullptr;
  size_t used = 0;
};

HostHeap& TheHeap() {
  static HostHeap heap;
  return heap;
}

}  // namespace

size_t HostPageBytes(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

uint8_t* CommitHostPages(size_t bytes) {
  HostHeap& h = TheHeap();
  if (!h.base) h.base = static_cast<uint8_t*>(VirtualAlloc(nullptr, kReserve, MEM_RESERVE, PAGE_NOACCESS));
  bytes = HostPageBytes(bytes);
  if (!h.base || h.used + bytes > kReserve) std::abort();
  uint8_t* p = h.base + h.used;
  if (!VirtualAlloc(p, bytes, MEM_COMMIT, PAGE_READWRITE)) std::abort();
  h.used += bytes;
  return p;
}

void DecommitHostPages(uint8_t* pages, size_t bytes) { VirtualFree(pages, HostPageBytes(bytes), MEM_DECOMMIT); }

void RecommitHostPages(uint8_t* pages, size_t bytes) {
  if (!VirtualAlloc(pages, HostPageBytes(bytes), MEM_COMMIT, PAGE_READWRITE)) std::abort();
}

void ProtectHostPages(uint8_t* pages, size_t bytes, unsigned long protection) {
  DWORD old = 0;
  if (!VirtualProtect(pages, HostPageBytes(bytes), protection, &old)) std::abort();
}

}  // namespace qv

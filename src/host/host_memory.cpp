#include "host/host_memory.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr DWORD kWritableProtections = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

bool QueryRange(const void* address, size_t length, MEMORY_BASIC_INFORMATION& info) {
  if (address == nullptr || length == 0) return false;
  if (VirtualQuery(address, &info, sizeof(info)) != sizeof(info)) return false;
  if (info.State != MEM_COMMIT) return false;
  if ((info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0 || info.Protect == 0) return false;
  const auto start = reinterpret_cast<uintptr_t>(address);
  const auto regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  // The whole range must stay inside the queried region: the next one may be unreadable.
  return start <= regionEnd && length <= regionEnd - start;
}

}  // namespace

bool IsReadableHostRange(const void* address, size_t length) {
  MEMORY_BASIC_INFORMATION info;
  return QueryRange(address, length, info);
}

bool ReadHostMemory(const void* address, void* out, size_t length) {
  if (out == nullptr || !IsReadableHostRange(address, length)) return false;
  std::memcpy(out, address, length);
  return true;
}

bool WriteHostMemory(void* address, const void* in, size_t length) {
  MEMORY_BASIC_INFORMATION info;
  if (in == nullptr || !QueryRange(address, length, info)) return false;
  if ((info.Protect & kWritableProtections) == 0) return false;
  std::memcpy(address, in, length);
  return true;
}

size_t ReadableBytesFrom(const void* address) {
  MEMORY_BASIC_INFORMATION info;
  if (!QueryRange(address, 1, info)) return 0;
  const auto regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  return static_cast<size_t>(regionEnd - reinterpret_cast<uintptr_t>(address));
}

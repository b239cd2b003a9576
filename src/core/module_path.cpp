#include "core/module_path.h"

std::wstring ModuleFilePath(HMODULE module) {
  for (DWORD capacity = 512; capacity <= 32768; capacity *= 2) {
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(module, buffer.data(), capacity);
    if (length == 0) return {};
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
  }
  return {};
}

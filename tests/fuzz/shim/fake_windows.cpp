#include "fake_windows.h"

#include <windows.h>

#include <cstring>

#include "host/host_memory.h"

namespace {

std::wstring g_ini;
bool g_fileExists = true;
std::wstring g_modulePath;
const uint8_t* g_regionBase = nullptr;
size_t g_regionSize = 0;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}

bool InRegion(const void* address, size_t length) {
  const auto* p = static_cast<const uint8_t*>(address);
  if (g_regionBase == nullptr || p < g_regionBase) return false;
  const size_t offset = static_cast<size_t>(p - g_regionBase);
  return offset <= g_regionSize && length <= g_regionSize - offset && length > 0;
}

}  // namespace

namespace fake_windows {

void SetIni(std::wstring text) { g_ini = std::move(text); }
void SetFileExists(bool exists) { g_fileExists = exists; }
void SetModulePath(std::wstring path) { g_modulePath = std::move(path); }
void SetHostRegion(const void* base, size_t size) {
  g_regionBase = static_cast<const uint8_t*>(base);
  g_regionSize = size;
}

bool FullIniValue(std::wstring_view section, std::wstring_view key, std::wstring& value) {
  std::wstring_view text = g_ini;
  bool inSection = false;
  while (!text.empty()) {
    const size_t end = text.find(L'\n');
    std::wstring_view line = text.substr(0, end);
    text = end == std::wstring_view::npos ? std::wstring_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    const std::wstring_view trimmed = Trim(line);
    if (!trimmed.empty() && trimmed.front() == L'[') {
      const size_t close = trimmed.find(L']');
      inSection = close != std::wstring_view::npos && SameName(Trim(trimmed.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = line.find(L'=');
    if (!inSection || equals == std::wstring_view::npos) continue;
    if (!SameName(Trim(line.substr(0, equals)), key)) continue;
    value.assign(Trim(line.substr(equals + 1)));
    return true;
  }
  return false;
}

}  // namespace fake_windows

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR out, DWORD size, LPCWSTR) {
  if (out == nullptr || size == 0) return 0;
  std::wstring value;
  if (!fake_windows::FullIniValue(section, key, value)) value = fallback;
  // As the real call: at most size - 1 characters and a terminator; the count excludes it.
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n * sizeof(wchar_t));
  out[n] = L'\0';
  return static_cast<DWORD>(n);
}

DWORD GetFileAttributesW(LPCWSTR) { return g_fileExists ? 0x20 : INVALID_FILE_ATTRIBUTES; }

DWORD GetModuleFileNameW(HMODULE, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  // Cut to size - 1 characters with a terminator, and the full size returned, as since Vista.
  const size_t n = g_modulePath.size() < size ? g_modulePath.size() : size - 1;
  std::memcpy(out, g_modulePath.data(), n * sizeof(wchar_t));
  out[n] = L'\0';
  return g_modulePath.size() < size ? static_cast<DWORD>(n) : size;
}

BOOL VirtualProtect(void* address, SIZE_T size, DWORD, DWORD* old) {
  if (old != nullptr) *old = PAGE_READWRITE;
  return InRegion(address, size) ? TRUE : FALSE;
}
BOOL FlushInstructionCache(HANDLE, const void*, SIZE_T) { return TRUE; }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(-1); }
DWORD GetLastError() { return 5; }

// The guarded helpers over the one region: anything outside it is unreadable, as an unmapped
// page would be.
bool IsReadableHostRange(const void* address, size_t length) { return InRegion(address, length); }
size_t ReadableBytesFrom(const void* address) {
  if (!InRegion(address, 1)) return 0;
  return g_regionSize - static_cast<size_t>(static_cast<const uint8_t*>(address) - g_regionBase);
}
bool CheckHostRange(const void* address, size_t length, bool) { return InRegion(address, length); }
void AdvanceRegionCacheEpoch() {}
uint64_t RegionQueryCount() { return 0; }
bool ReadHostMemory(const void* address, void* out, size_t length) {
  if (!InRegion(address, length)) return false;
  std::memcpy(out, address, length);
  return true;
}
bool WriteHostMemory(void* address, const void* in, size_t length) {
  if (!InRegion(address, length)) return false;
  std::memcpy(address, in, length);
  return true;
}

#include "host_image.h"

#include <cstring>

#include "world.h"

namespace qv {
namespace {

constexpr size_t kLfanew = 0x3C;
constexpr size_t kMachine = 4;           // from the NT headers
constexpr size_t kTimestamp = 8;
constexpr size_t kMagic = 24;
constexpr size_t kSizeOfImage = 24 + 56;
constexpr uint8_t kBrokenByte = 0xCC;    // int3: a broken site that runs stops the game loudly

bool WriteBytes(uint8_t* at, const void* data, size_t size) {
  DWORD old = 0;
  if (!VirtualProtect(at, size, PAGE_READWRITE, &old)) return false;
  std::memcpy(at, data, size);
  DWORD ignored = 0;
  VirtualProtect(at, size, old, &ignored);
  return true;
}

bool WriteCode(uint8_t* at, uint8_t value) {
  DWORD old = 0;
  if (!VirtualProtect(at, 1, PAGE_EXECUTE_READWRITE, &old)) return false;
  *at = value;
  DWORD ignored = 0;
  VirtualProtect(at, 1, old, &ignored);
  FlushInstructionCache(GetCurrentProcess(), at, 1);
  return true;
}

}  // namespace

ImageHeaders ReadImageHeaders(const uint8_t* base) {
  ImageHeaders h;
  uint32_t nt = 0;
  std::memcpy(&nt, base + kLfanew, 4);
  std::memcpy(&h.timestamp, base + nt + kTimestamp, 4);
  std::memcpy(&h.image_size, base + nt + kSizeOfImage, 4);
  return h;
}

bool PatchImageHeaders(uint8_t* base, const std::vector<HeaderPatch>& patches, std::wstring* error) {
  // Offsets come from the headers as loaded, so patching lfanew does not move later patches.
  uint32_t nt = 0;
  std::memcpy(&nt, base + kLfanew, 4);
  for (const HeaderPatch& p : patches) {
    uint8_t* at = nullptr;
    size_t size = 4;
    if (p.field == L"timestamp") at = base + nt + kTimestamp;
    else if (p.field == L"image-size") at = base + nt + kSizeOfImage;
    else if (p.field == L"machine") at = base + nt + kMachine, size = 2;
    else if (p.field == L"magic") at = base + nt + kMagic, size = 2;
    else at = base + kLfanew;
    uint32_t value = p.value;
    if (!WriteBytes(at, &value, size)) {
      *error = L"could not patch the mapped header field " + p.field;
      return false;
    }
  }
  return true;
}

bool BreakAndProtectSites(const Options& options, SiteTampering* t, std::wstring* error) {
  for (int site : options.break_sites) {
    uint8_t* at = SiteAddress(site);
    uint8_t original = *at;
    uint8_t written = original == kBrokenByte ? 0x90 : kBrokenByte;
    if (!WriteCode(at, written)) {
      *error = L"could not change the entry bytes of site " + std::to_wstring(site);
      return false;
    }
    t->broken.push_back({at, original, written});
  }
  for (const SiteProtection& p : options.protections) {
    uint8_t* at = SiteAddress(p.site);
    DWORD old = 0;
    // The whole page changes: a neighbouring site on the same page goes with it.
    if (!VirtualProtect(at, 1, p.protection, &old)) {
      *error = L"could not protect the page of site " + std::to_wstring(p.site);
      return false;
    }
    t->protected_pages.push_back({at, old});
  }
  return true;
}

void UndoSiteTampering(SiteTampering* t) {
  for (auto it = t->protected_pages.rbegin(); it != t->protected_pages.rend(); ++it) {
    DWORD ignored = 0;
    VirtualProtect(it->address, 1, it->original, &ignored);
  }
  // Only a byte that still holds our value goes back: anything else is a hook now.
  for (const auto& b : t->broken)
    if (*b.address == b.written) WriteCode(b.address, b.original);
  t->broken.clear();
  t->protected_pages.clear();
}

}  // namespace qv

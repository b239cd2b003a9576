// Host validation, build identification and the import-table walk over arbitrary images. The
// image sits page-aligned, as a loaded module does, in a buffer exactly as long as the input:
// the guarded helpers see nothing past it, and AddressSanitizer catches any read that skips them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/host_validation.h"
#include "host/import_slot.h"
#include "shim/fake_windows.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "pe check failed: %s\n", what);
  std::abort();
}

bool NameIs(const uint8_t* image, size_t size, uint64_t rva, const char* wanted) {
  const size_t n = std::strlen(wanted);
  if (rva >= size || size - rva < n + 1) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(image[rva + i]);
    char w = wanted[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
    if (c != w) return false;
  }
  return image[rva + n] == 0;
}

template <typename T>
bool ReadAt(const uint8_t* image, size_t size, uint64_t rva, T& out) {
  if (rva >= size || size - rva < sizeof(T)) return false;
  std::memcpy(&out, image + rva, sizeof(T));
  return true;
}

// Some SDL2.dll descriptor has its address table run through slotRva, and the lookup entry at
// the same index names the function (after the 2-byte hint).
bool SlotNamesFunction(const uint8_t* image, size_t size, uint64_t slotRva, const char* function) {
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS64 nt;
  if (!ReadAt(image, size, 0, dos) || !ReadAt(image, size, static_cast<uint64_t>(dos.e_lfanew), nt)) return false;
  const IMAGE_DATA_DIRECTORY dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (uint64_t i = 0; i < dir.Size / 20; ++i) {
    IMAGE_IMPORT_DESCRIPTOR d;
    if (!ReadAt(image, size, dir.VirtualAddress + i * 20, d)) return false;
    if (!NameIs(image, size, d.Name, "SDL2.dll") || slotRva < d.FirstThunk || (slotRva - d.FirstThunk) % 8 != 0)
      continue;
    uint64_t entry = 0;
    if (ReadAt(image, size, d.OriginalFirstThunk + (slotRva - d.FirstThunk), entry) &&
        NameIs(image, size, entry + 2, function))
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  void* memory = nullptr;
  if (posix_memalign(&memory, 4096, size) != 0) return 0;
  auto* image = static_cast<uint8_t*>(memory);
  std::memcpy(image, data, size);
  fake_windows::SetHostRegion(image, size);
  fake_windows::SetModulePath(L"C:\\Games\\QuarrenVelt\\QuarrenVelt.exe");
  const auto module = reinterpret_cast<HMODULE>(image);

  const HostValidation v = ValidateHost(module);
  if (v.ok != v.reason.empty()) Fail("ok and reason disagree");
  IdentifyBuild(module);
  for (size_t i = 0; i < kSiteCount; ++i) SiteMatches(module, static_cast<SiteId>(i));

  for (const char* function : {"SDL_GL_SwapWindow", "SDL_PumpEvents"}) {
    const ImportSlotLookup lookup = FindImportSlot(module, "SDL2.dll", function);
    if ((lookup.slot == nullptr) == lookup.message.empty()) Fail("slot and message disagree");
    if (lookup.slot == nullptr) continue;
    const auto* slot = reinterpret_cast<const uint8_t*>(lookup.slot);
    if (slot < image || slot + 8 > image + size) Fail("slot outside the image");
    if ((reinterpret_cast<uintptr_t>(slot) & 7) != 0) Fail("misaligned slot handed out");
    uint64_t held = 0;
    std::memcpy(&held, slot, 8);
    if (held != lookup.value) Fail("value is not what the slot holds");
    if (!SlotNamesFunction(image, size, static_cast<uint64_t>(slot - image), function)) Fail("slot of another name");
    std::wstring message;
    const uint64_t replacement = lookup.value ^ 0x5A5A5A5A5A5A5A5Aull;
    if (lookup.value != 0 && replacement != 0) {
      if (!ReplaceImportSlot(lookup.slot, lookup.value, replacement, message)) Fail("replace refused");
      std::memcpy(&held, slot, 8);
      if (held != replacement) Fail("replace did not write");
      if (ReplaceImportSlot(lookup.slot, lookup.value, 1, message)) Fail("replace over a changed slot");
    }
  }
  fake_windows::SetHostRegion(nullptr, 0);
  std::free(memory);
  return 0;
}

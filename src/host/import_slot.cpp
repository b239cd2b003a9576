#include "host/import_slot.h"

#include <cstring>
#include <string_view>

#include "core/text.h"
#include "host/host_memory.h"

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;
constexpr uint32_t kNtSignature = 0x00004550;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kDescriptorSize = 20;

// A mapped image seen through RVAs, every read bounded by the size of image.
struct ImageView {
  const uint8_t* base;
  uint64_t size;

  // Inside the size of image and really readable: a broken header must not make us fault.
  bool Contains(uint64_t rva, uint64_t length) const {
    return rva < size && length <= size - rva && IsReadableHostRange(base + rva, static_cast<size_t>(length));
  }
  template <typename T>
  bool Read(uint64_t rva, T& out) const {
    if (!Contains(rva, sizeof(T))) return false;
    std::memcpy(&out, base + rva, sizeof(T));
    return true;
  }
  // A zero-terminated name that ends inside the image.
  bool NameAt(uint64_t rva, std::string_view& name) const {
    if (!Contains(rva, 1)) return false;
    const char* start = reinterpret_cast<const char*>(base + rva);
    size_t limit = ReadableBytesFrom(start);
    if (limit > size - rva) limit = static_cast<size_t>(size - rva);
    const void* end = std::memchr(start, 0, limit);
    if (end == nullptr) return false;
    name = std::string_view(start, static_cast<size_t>(static_cast<const char*>(end) - start));
    return true;
  }
};

}  // namespace

ImportSlotLookup FindImportSlot(HMODULE module, const char* dllName, const char* functionName) {
  ImportSlotLookup result;
  if (module == nullptr || dllName == nullptr || functionName == nullptr) {
    result.message = L"Invalid import lookup argument.";
    return result;
  }
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  AdvanceRegionCacheEpoch();
  IMAGE_DOS_HEADER dos;
  if (!ReadHostValue(base, dos) || dos.e_magic != kDosSignature || dos.e_lfanew < 1) {
    result.message = L"Invalid DOS header while locating import.";
    return result;
  }
  IMAGE_NT_HEADERS64 nt;
  if (!ReadHostValueAt(base, static_cast<size_t>(dos.e_lfanew), nt) || nt.Signature != kNtSignature ||
      nt.OptionalHeader.Magic != kMagicPe32Plus) {
    result.message = L"Invalid PE64 header while locating import.";
    return result;
  }
  const ImageView image{base, nt.OptionalHeader.SizeOfImage};
  const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0 || directory.Size < kDescriptorSize ||
      !image.Contains(directory.VirtualAddress, directory.Size)) {
    result.message = L"Host has no valid import directory.";
    return result;
  }

  IMAGE_IMPORT_DESCRIPTOR descriptor{};
  bool found = false;
  for (uint32_t i = 0; i < directory.Size / kDescriptorSize && !found; ++i) {
    if (!image.Read(directory.VirtualAddress + uint64_t{i} * kDescriptorSize, descriptor)) break;
    if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
    std::string_view name;
    found = image.NameAt(descriptor.Name, name) && EqualsIgnoreAsciiCase(name, dllName);
  }
  const IMAGE_IMPORT_DESCRIPTOR* match = found ? &descriptor : nullptr;
  if (match == nullptr) {
    result.message = L"Requested import module was not present in the host.";
    return result;
  }
  if (match->OriginalFirstThunk == 0 || match->FirstThunk == 0) {
    result.message = L"Named import lookup table is unavailable.";
    return result;
  }

  for (uint64_t offset = 0;; offset += sizeof(uint64_t)) {
    const uint64_t lookupRva = match->OriginalFirstThunk + offset;
    const uint64_t addressRva = match->FirstThunk + offset;
    uint64_t entry = 0;
    if (!image.Contains(addressRva, sizeof(uint64_t)) || !image.Read(lookupRva, entry) || entry == 0) break;
    // Ordinal imports and entries that can't be an RVA are not what we look for.
    if ((entry & IMAGE_ORDINAL_FLAG64) != 0 || entry > 0xFFFFFFFFull) continue;
    std::string_view name;
    if (!image.Contains(entry, 2) || !image.NameAt(entry + 2, name)) continue;
    if (!EqualsIgnoreAsciiCase(name, functionName)) continue;
    uint8_t* slot = const_cast<uint8_t*>(base) + addressRva;
    // The slot is swapped with one 64-bit compare-and-exchange, which needs natural alignment.
    if ((reinterpret_cast<uintptr_t>(slot) & (sizeof(uint64_t) - 1)) != 0) {
      result.message = L"Import address-table entry is not 8-byte aligned.";
      return result;
    }
    result.slot = reinterpret_cast<uint64_t*>(slot);
    result.value = *result.slot;
    return result;
  }
  result.message = L"Function was not present in the requested import module.";
  return result;
}

bool ReplaceImportSlot(uint64_t* slot, uint64_t expected, uint64_t newValue, std::wstring& message) {
  if (slot == nullptr || expected == 0 || newValue == 0) {
    message = L"Invalid import replacement argument.";
    return false;
  }
  DWORD oldProtection = 0;
  if (!VirtualProtect(slot, sizeof(uint64_t), PAGE_READWRITE, &oldProtection)) {
    message = L"VirtualProtect could not make the import slot writable (error " + FormatUnsigned(GetLastError()) + L").";
    return false;
  }
  const auto previous = static_cast<uint64_t>(InterlockedCompareExchange64(
      reinterpret_cast<volatile LONG64*>(slot), static_cast<LONG64>(newValue), static_cast<LONG64>(expected)));
  DWORD ignored = 0;
  const bool protectionRestored = VirtualProtect(slot, sizeof(uint64_t), oldProtection, &ignored) != FALSE;
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof(uint64_t));
  if (previous != expected) {
    message = L"Import slot changed before hook installation.";
    return false;
  }
  if (!protectionRestored) message = L"Hook installed, but import-slot protection restoration failed.";
  return true;
}

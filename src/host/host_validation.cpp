#include "host/host_validation.h"

#include <atomic>
#include <cstring>

#include "core/module_path.h"
#include "core/text.h"
#include "host/host_memory.h"

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;
constexpr uint32_t kNtSignature = 0x00004550;
constexpr uint32_t kMaxNtHeaderOffset = 0x100000;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kMaxImageSize = 0x80000000u;

// Written once on the bootstrap thread before any hook exists; read-only afterwards.
std::atomic<const BuildMapping*> g_identifiedBuild{nullptr};

struct NtHeaderView {
  const uint8_t* base = nullptr;
  IMAGE_NT_HEADERS64 nt{};
};

// Reads the DOS and NT headers through the guarded helpers. Returns the failing step, 0 when fine.
int ReadNtHeaders(HMODULE module, NtHeaderView& view) {
  // Install-time checks look at memory as it is now, never through an older cached answer.
  AdvanceRegionCacheEpoch();
  view.base = reinterpret_cast<const uint8_t*>(module);
  IMAGE_DOS_HEADER dos;
  if (!ReadHostValue(view.base, dos) || dos.e_magic != kDosSignature) return 1;
  const auto offset = static_cast<uint32_t>(dos.e_lfanew);
  if (dos.e_lfanew < 1 || offset > kMaxNtHeaderOffset) return 1;
  // The signature and file header first: a PE32 optional header is shorter than a PE32+ one.
  uint32_t signature = 0;
  if (!ReadHostValueAt(view.base, offset, signature) || signature != kNtSignature) return 2;
  // Up to SizeOfHeaders the optional header is laid out alike in PE32 and PE32+.
  constexpr size_t kCommonPrefix = sizeof(uint32_t) + sizeof(IMAGE_FILE_HEADER) + 64;
  if (!ReadHostMemory(view.base + offset, &view.nt, kCommonPrefix)) return 2;
  if (view.nt.OptionalHeader.Magic == kMagicPe32Plus && !ReadHostValueAt(view.base, offset, view.nt)) return 2;
  return 0;
}

}  // namespace

HostValidation ValidateHost(HMODULE module) {
  HostValidation result;
  if (module == nullptr) {
    result.reason = L"Host module handle is null.";
    return result;
  }
  result.path = ModuleFilePath(module);
  if (result.path.empty()) {
    result.reason = L"Could not resolve the host executable path.";
    return result;
  }
  if (!EqualsIgnoreAsciiCase(FileNamePart(result.path), L"QuarrenVelt.exe")) {
    result.reason = L"Host executable name is not QuarrenVelt.exe: " + result.path;
    return result;
  }
  NtHeaderView view;
  const int headerFailure = ReadNtHeaders(module, view);
  if (headerFailure == 1) {
    result.reason = L"Mapped host has an invalid DOS header.";
    return result;
  }
  if (headerFailure == 2) {
    result.reason = L"Mapped host has an invalid NT signature.";
    return result;
  }
  result.machine = view.nt.FileHeader.Machine;
  result.timestamp = view.nt.FileHeader.TimeDateStamp;
  result.imageSize = view.nt.OptionalHeader.SizeOfImage;
  if (result.machine != kMachineAmd64 || view.nt.OptionalHeader.Magic != kMagicPe32Plus) {
    result.reason = L"Mapped host is not an x64 PE32+ image.";
    return result;
  }
  if (result.imageSize < view.nt.OptionalHeader.SizeOfHeaders || result.imageSize > kMaxImageSize) {
    result.reason = L"Mapped host has an invalid image size.";
    return result;
  }
  result.ok = true;
  return result;
}

bool EntryBytesMatch(HMODULE module, uint64_t rva, const uint8_t* expected, uint64_t length) {
  if (module == nullptr || expected == nullptr || length == 0) return false;
  NtHeaderView view;
  if (ReadNtHeaders(module, view) != 0 || view.nt.OptionalHeader.Magic != kMagicPe32Plus) return false;
  const uint64_t imageSize = view.nt.OptionalHeader.SizeOfImage;
  if (rva >= imageSize || length > imageSize - rva) return false;
  const uint8_t* address = view.base + rva;
  if (!IsReadableHostRange(address, static_cast<size_t>(length))) return false;
  return std::memcmp(address, expected, static_cast<size_t>(length)) == 0;
}

const BuildMapping* IdentifyBuild(HMODULE module) {
  const BuildMapping* found = nullptr;
  for (size_t i = 0; i < BuildMappingCount() && found == nullptr; ++i) {
    const HostSite& run = BuildMappings()[i].sites[static_cast<size_t>(SiteId::EngineRun)];
    if (EntryBytesMatch(module, run.rva, run.bytes, run.length)) found = &BuildMappings()[i];
  }
  g_identifiedBuild.store(found, std::memory_order_release);
  return found;
}

const BuildMapping* IdentifiedBuild() { return g_identifiedBuild.load(std::memory_order_acquire); }

bool SiteMatches(HMODULE module, SiteId id) {
  const BuildMapping* build = IdentifiedBuild();
  const auto index = static_cast<size_t>(id);
  if (build == nullptr || index >= kSiteCount) return false;
  const HostSite& site = build->sites[index];
  return EntryBytesMatch(module, site.rva, site.bytes, site.length);
}

uint64_t SiteRva(SiteId id) {
  const BuildMapping* build = IdentifiedBuild();
  const auto index = static_cast<size_t>(id);
  if (build == nullptr || index >= kSiteCount) return 0;
  return build->sites[index].rva;
}

void* SiteAddress(HMODULE module, SiteId id) {
  const uint64_t rva = SiteRva(id);
  if (module == nullptr || rva == 0) return nullptr;
  return reinterpret_cast<uint8_t*>(module) + rva;
}

void ClearIdentifiedBuildForTest() { g_identifiedBuild.store(nullptr, std::memory_order_release); }

#pragma once
// Proof that the plug-in runs in a supported host build, before any host code is touched.
#include <windows.h>

#include <cstdint>
#include <string>

#include "host/host_sites.h"

struct HostValidation {
  bool ok = false;
  std::wstring path;
  std::wstring reason;
  uint16_t machine = 0;
  uint32_t imageSize = 0;
  uint32_t timestamp = 0;
};

HostValidation ValidateHost(HMODULE module);
// Picks the mapping whose cEngine::Run bytes are present; remembered as the identified build.
const BuildMapping* IdentifyBuild(HMODULE module);
const BuildMapping* IdentifiedBuild();
// Tests before it reads: never faults on unmapped, reserved or guarded memory.
bool EntryBytesMatch(HMODULE module, uint64_t rva, const uint8_t* expected, uint64_t length);
bool SiteMatches(HMODULE module, SiteId id);
uint64_t SiteRva(SiteId id);           // 0 when no build was identified
// Host module base + the site's RVA; null when no build was identified.
void* SiteAddress(HMODULE module, SiteId id);
// Tests only: forget the identified build.
void ClearIdentifiedBuildForTest();

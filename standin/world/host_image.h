// The running exe's own image: its headers and its host functions' pages.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace qv {

// The headers as loaded, read before anything changes them.
struct ImageHeaders {
  uint32_t timestamp = 0;
  uint32_t image_size = 0;
};
ImageHeaders ReadImageHeaders(const uint8_t* base);

bool PatchImageHeaders(uint8_t* base, const std::vector<HeaderPatch>& patches, std::wstring* error);

// Broken entry bytes and protected pages last only while the plug-in starts.
struct SiteTampering {
  struct Broken {
    uint8_t* address;
    uint8_t original;
    uint8_t written;
  };
  struct Protected {
    uint8_t* address;
    DWORD original;
  };
  std::vector<Broken> broken;
  std::vector<Protected> protected_pages;
};

bool BreakAndProtectSites(const Options& options, SiteTampering* tampering, std::wstring* error);
void UndoSiteTampering(SiteTampering* tampering);

}  // namespace qv

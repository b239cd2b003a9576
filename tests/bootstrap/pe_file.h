#pragma once
// Reads what the tests need from a PE32+ file on disk (not a mapped image).
#include <cstdint>
#include <string>
#include <vector>

struct PeFileFacts {
  bool ok = false;
  std::string error;
  uint16_t machine = 0;
  uint32_t timestamp = 0;
  uint32_t sizeOfImage = 0;
  std::vector<std::string> importedDlls;
  bool hasExportDirectory = false;
  uint32_t exportedFunctions = 0;
  uint32_t exportedNames = 0;
};

PeFileFacts ReadPeFile(const std::string& bytes);

#pragma once
// Redirection of a host import-address-table entry with one atomic compare-and-exchange.
#include <windows.h>

#include <cstdint>
#include <string>

struct ImportSlotLookup {
  uint64_t* slot = nullptr;   // the address-table entry; null when not found
  uint64_t value = 0;         // what the slot held at lookup time
  std::wstring message;       // why the lookup failed
};

ImportSlotLookup FindImportSlot(HMODULE module, const char* dllName, const char* functionName);
// Writes newValue only while the slot still holds expected. A success may carry a warning in message.
bool ReplaceImportSlot(uint64_t* slot, uint64_t expected, uint64_t newValue, std::wstring& message);

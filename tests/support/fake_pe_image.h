#pragma once
// A PE32+ image built in committed memory, laid out as the loader maps one: DOS and NT headers,
// and an import directory with lookup and address tables. Tests use it as a host module.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct FakeImportFunction {
  std::string name;          // empty: an import by ordinal
  uint16_t ordinal = 0;
  uint64_t slotValue = 0;    // what the address-table entry holds
};

struct FakeImportModule {
  std::string dllName;
  std::vector<FakeImportFunction> functions;
};

// How much of the image is backed by memory. A host image is megabytes large; tests of sites
// commit only the header and table pages and the pages they place code on.
enum class FakePeMemory {
  CommitAll,
  CommitHeadersOnly,   // the first 64 KiB (headers and import tables); the rest only reserved
};

class FakePeImage {
 public:
  explicit FakePeImage(const std::vector<FakeImportModule>& imports, uint32_t imageSize = 0x10000,
                       FakePeMemory memory = FakePeMemory::CommitAll);
  ~FakePeImage();
  FakePeImage(const FakePeImage&) = delete;
  FakePeImage& operator=(const FakePeImage&) = delete;

  HMODULE module() const { return reinterpret_cast<HMODULE>(base_); }
  uint8_t* base() const { return base_; }
  uint32_t imageSize() const { return imageSize_; }
  // The address-table entry of function f of import module m.
  uint64_t* slot(size_t m, size_t f) const;
  // Header fields, for tests that break them.
  IMAGE_NT_HEADERS64* ntHeaders() const;
  IMAGE_IMPORT_DESCRIPTOR* descriptor(size_t m) const;
  // The lookup-table entry of function f of import module m.
  uint64_t* lookupEntry(size_t m, size_t f) const;

  // Commits the pages covering [rva, rva + length) with the given protection and returns base + rva.
  uint8_t* commit(uint32_t rva, uint32_t length, DWORD protection = PAGE_READWRITE);
  // Commits the pages it needs (read-write) and copies bytes to base + rva.
  void place(uint32_t rva, const void* bytes, size_t length);
  // VirtualProtect on the pages covering [rva, rva + length).
  void protect(uint32_t rva, uint32_t length, DWORD protection);

 private:
  uint8_t* base_ = nullptr;
  uint32_t imageSize_ = 0;
  std::vector<std::vector<uint32_t>> slotRvas_;
  std::vector<uint32_t> descriptorRvas_;
  std::vector<uint32_t> lookupRvas_;
};

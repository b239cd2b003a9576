#include "support/fake_pe_image.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr uint32_t kNtOffset = 0x80;
constexpr uint32_t kDescriptorsRva = 0x1000;
constexpr uint32_t kTablesRva = 0x2000;
constexpr uint32_t kHeaderCommit = 0x10000;

}  // namespace

FakePeImage::FakePeImage(const std::vector<FakeImportModule>& imports, uint32_t imageSize, FakePeMemory memory)
    : imageSize_(imageSize) {
  if (memory == FakePeMemory::CommitAll) {
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, imageSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  } else {
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, imageSize_, MEM_RESERVE, PAGE_NOACCESS));
    if (base_ != nullptr && VirtualAlloc(base_, imageSize_ < kHeaderCommit ? imageSize_ : kHeaderCommit, MEM_COMMIT,
                                         PAGE_READWRITE) == nullptr) {
      VirtualFree(base_, 0, MEM_RELEASE);
      base_ = nullptr;
    }
  }
  if (base_ == nullptr) throw std::runtime_error("VirtualAlloc failed");
  const uint32_t backed = memory == FakePeMemory::CommitAll || imageSize_ < kHeaderCommit ? imageSize_ : kHeaderCommit;

  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base_);
  dos->e_magic = IMAGE_DOS_SIGNATURE;
  dos->e_lfanew = kNtOffset;
  IMAGE_NT_HEADERS64* nt = ntHeaders();
  nt->Signature = IMAGE_NT_SIGNATURE;
  nt->FileHeader.Machine = IMAGE_FILE_MACHINE_AMD64;
  nt->FileHeader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
  nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
  nt->OptionalHeader.SizeOfImage = imageSize_;
  nt->OptionalHeader.SizeOfHeaders = 0x400;
  nt->OptionalHeader.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;

  // Tables grow upwards from kTablesRva: per module a lookup table, an address table, then names.
  uint32_t cursor = kTablesRva;
  auto place = [&](uint32_t bytes) {
    const uint32_t rva = cursor;
    cursor += (bytes + 7u) & ~7u;
    if (cursor > backed) throw std::runtime_error("fake image too small");
    return rva;
  };
  for (size_t m = 0; m < imports.size(); ++m) {
    const FakeImportModule& module = imports[m];
    const auto entries = static_cast<uint32_t>(module.functions.size() + 1);
    const uint32_t lookupRva = place(entries * 8);
    const uint32_t addressRva = place(entries * 8);
    const uint32_t nameRva = place(static_cast<uint32_t>(module.dllName.size() + 1));
    std::memcpy(base_ + nameRva, module.dllName.c_str(), module.dllName.size() + 1);

    std::vector<uint32_t> slots;
    for (size_t f = 0; f < module.functions.size(); ++f) {
      const FakeImportFunction& function = module.functions[f];
      uint64_t lookup = 0;
      if (function.name.empty()) {
        lookup = IMAGE_ORDINAL_FLAG64 | function.ordinal;
      } else {
        const uint32_t hintRva = place(static_cast<uint32_t>(function.name.size() + 3));
        std::memcpy(base_ + hintRva + 2, function.name.c_str(), function.name.size() + 1);
        lookup = hintRva;
      }
      std::memcpy(base_ + lookupRva + f * 8, &lookup, 8);
      std::memcpy(base_ + addressRva + f * 8, &function.slotValue, 8);
      slots.push_back(addressRva + static_cast<uint32_t>(f) * 8);
    }
    slotRvas_.push_back(slots);
    lookupRvas_.push_back(lookupRva);

    const uint32_t descriptorRva = kDescriptorsRva + static_cast<uint32_t>(m * sizeof(IMAGE_IMPORT_DESCRIPTOR));
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base_ + descriptorRva);
    descriptor->OriginalFirstThunk = lookupRva;
    descriptor->Name = nameRva;
    descriptor->FirstThunk = addressRva;
    descriptorRvas_.push_back(descriptorRva);
  }
  IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  directory.VirtualAddress = kDescriptorsRva;
  // One terminating, all-zero descriptor after the real ones.
  directory.Size = static_cast<DWORD>((imports.size() + 1) * sizeof(IMAGE_IMPORT_DESCRIPTOR));
}

FakePeImage::~FakePeImage() {
  if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
}

uint64_t* FakePeImage::slot(size_t m, size_t f) const {
  return reinterpret_cast<uint64_t*>(base_ + slotRvas_.at(m).at(f));
}

IMAGE_NT_HEADERS64* FakePeImage::ntHeaders() const { return reinterpret_cast<IMAGE_NT_HEADERS64*>(base_ + kNtOffset); }

IMAGE_IMPORT_DESCRIPTOR* FakePeImage::descriptor(size_t m) const {
  return reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base_ + descriptorRvas_.at(m));
}

uint64_t* FakePeImage::lookupEntry(size_t m, size_t f) const {
  return reinterpret_cast<uint64_t*>(base_ + lookupRvas_.at(m) + f * 8);
}

uint8_t* FakePeImage::commit(uint32_t rva, uint32_t length, DWORD protection) {
  if (length == 0 || rva > imageSize_ || length > imageSize_ - rva) throw std::out_of_range("commit outside the image");
  if (VirtualAlloc(base_ + rva, length, MEM_COMMIT, protection) == nullptr) throw std::runtime_error("commit failed");
  return base_ + rva;
}

void FakePeImage::place(uint32_t rva, const void* bytes, size_t length) {
  std::memcpy(commit(rva, static_cast<uint32_t>(length)), bytes, length);
}

void FakePeImage::protect(uint32_t rva, uint32_t length, DWORD protection) {
  DWORD old = 0;
  if (!VirtualProtect(base_ + rva, length, protection, &old)) throw std::runtime_error("VirtualProtect failed");
}

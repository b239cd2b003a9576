#include "pe_file.h"

#include <windows.h>

#include <cstring>

namespace {

struct FileView {
  const std::string& bytes;
  std::vector<IMAGE_SECTION_HEADER> sections;

  template <typename T>
  bool Read(uint64_t offset, T& out) const {
    if (offset > bytes.size() || sizeof(T) > bytes.size() - offset) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
  }
  // File offset of an RVA, through the section that holds it.
  bool Offset(uint32_t rva, uint64_t& offset) const {
    for (const IMAGE_SECTION_HEADER& s : sections) {
      const uint32_t size = s.Misc.VirtualSize > s.SizeOfRawData ? s.Misc.VirtualSize : s.SizeOfRawData;
      if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size) {
        offset = uint64_t{s.PointerToRawData} + (rva - s.VirtualAddress);
        return true;
      }
    }
    return false;
  }
  bool String(uint32_t rva, std::string& out) const {
    uint64_t offset = 0;
    if (!Offset(rva, offset) || offset >= bytes.size()) return false;
    const size_t end = bytes.find('\0', offset);
    if (end == std::string::npos) return false;
    out = bytes.substr(offset, end - offset);
    return true;
  }
};

}  // namespace

PeFileFacts ReadPeFile(const std::string& bytes) {
  PeFileFacts facts;
  FileView view{bytes, {}};
  IMAGE_DOS_HEADER dos;
  IMAGE_NT_HEADERS64 nt;
  if (!view.Read(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || !view.Read(dos.e_lfanew, nt) ||
      nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    facts.error = "not a PE32+ file";
    return facts;
  }
  facts.machine = nt.FileHeader.Machine;
  facts.timestamp = nt.FileHeader.TimeDateStamp;
  facts.sizeOfImage = nt.OptionalHeader.SizeOfImage;
  const uint64_t sectionTable = uint64_t(dos.e_lfanew) + sizeof(uint32_t) + sizeof(IMAGE_FILE_HEADER) +
                                nt.FileHeader.SizeOfOptionalHeader;
  for (uint16_t i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
    IMAGE_SECTION_HEADER section;
    if (!view.Read(sectionTable + i * sizeof(IMAGE_SECTION_HEADER), section)) {
      facts.error = "section table cut short";
      return facts;
    }
    view.sections.push_back(section);
  }

  const IMAGE_DATA_DIRECTORY& imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress != 0) {
    uint64_t offset = 0;
    if (!view.Offset(imports.VirtualAddress, offset)) {
      facts.error = "import directory outside every section";
      return facts;
    }
    for (;; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
      IMAGE_IMPORT_DESCRIPTOR descriptor;
      if (!view.Read(offset, descriptor)) {
        facts.error = "import directory cut short";
        return facts;
      }
      if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
      std::string name;
      if (!view.String(descriptor.Name, name)) {
        facts.error = "import name unreadable";
        return facts;
      }
      facts.importedDlls.push_back(name);
    }
  }

  const IMAGE_DATA_DIRECTORY& exports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (exports.VirtualAddress != 0 && exports.Size != 0) {
    facts.hasExportDirectory = true;
    uint64_t offset = 0;
    IMAGE_EXPORT_DIRECTORY directory;
    if (!view.Offset(exports.VirtualAddress, offset) || !view.Read(offset, directory)) {
      facts.error = "export directory unreadable";
      return facts;
    }
    facts.exportedFunctions = directory.NumberOfFunctions;
    facts.exportedNames = directory.NumberOfNames;
  }
  facts.ok = true;
  return facts;
}

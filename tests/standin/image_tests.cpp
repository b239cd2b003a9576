// QuarrenVelt.exe as a file and as a mapped image: the build's identity, the
// host functions' entry bytes at their RVAs, and the SDL2 import table.
#include <windows.h>

#include <imagehlp.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "game_run.h"
#include "site_table.h"

namespace {

using qvtest::BuiltExe;

struct BuildCase {
  const wchar_t* label;
  uint32_t timestamp;
  uint32_t image_size;
  bool gog;
};

const BuildCase kBuilds[] = {{L"GOG", 0x614063E2, 0x9FD000, true}, {L"Steam", 0x61406F43, 0xA88000, false}};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << (c.gog ? "GOG" : "Steam"); }

class BuildImage : public ::testing::TestWithParam<BuildCase> {};

const IMAGE_NT_HEADERS64* NtHeaders(const void* base) {
  auto* dos = static_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS64*>(static_cast<const uint8_t*>(base) + dos->e_lfanew);
}

TEST_P(BuildImage, FileCarriesTheBuildsStampSizeAndChecksum) {
  std::string file = qvtest::ReadTextFile(BuiltExe(GetParam().label));
  ASSERT_GT(file.size(), 0x400u);
  const IMAGE_NT_HEADERS64* nt = NtHeaders(file.data());
  EXPECT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
  EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(nt->FileHeader.TimeDateStamp, GetParam().timestamp);
  EXPECT_EQ(nt->OptionalHeader.SizeOfImage, GetParam().image_size);

  std::wstring path = BuiltExe(GetParam().label);
  DWORD stored = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(path.data(), &stored, &computed), CHECKSUM_SUCCESS);
  EXPECT_EQ(stored, computed);
}

TEST_P(BuildImage, MappedImageHasEveryEntrySequenceAtItsRva) {
  HMODULE image = LoadLibraryExW(BuiltExe(GetParam().label).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(image, nullptr) << GetLastError();
  auto* base = reinterpret_cast<const uint8_t*>(image);
  uint32_t size = NtHeaders(base)->OptionalHeader.SizeOfImage;
  for (int i = 0; i < 25; ++i) {
    const QvExpectedSite& s = kQvExpectedSites[i];
    uint32_t rva = GetParam().gog ? s.gog_rva : s.steam_rva;
    const uint8_t* expected = GetParam().gog ? s.gog : s.steam;
    ASSERT_LE(rva + s.length, size) << "site " << i;
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_EQ(VirtualQuery(base + rva, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT)) << "site " << i;
    EXPECT_TRUE(info.Protect & (PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) << "site " << i;
    EXPECT_EQ(std::memcmp(base + rva, expected, s.length), 0) << "site " << i;
  }
  FreeLibrary(image);
}

TEST_P(BuildImage, ImportsTheSdlFunctionsByNameFromSdl2) {
  HMODULE image = LoadLibraryExW(BuiltExe(GetParam().label).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(image, nullptr);
  auto* base = reinterpret_cast<const uint8_t*>(image);
  const IMAGE_DATA_DIRECTORY& dir = NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
  std::string names;
  bool found = false;
  for (; desc->Name; ++desc) {
    if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), "SDL2.dll") != 0) continue;
    found = true;
    ASSERT_NE(desc->OriginalFirstThunk, 0u);
    ASSERT_NE(desc->FirstThunk, 0u);
    auto* lookup = reinterpret_cast<const uint64_t*>(base + desc->OriginalFirstThunk);
    for (; *lookup; ++lookup) {
      ASSERT_EQ(*lookup & IMAGE_ORDINAL_FLAG64, 0u);
      names += reinterpret_cast<const char*>(base + *lookup + 2);
      names += " ";
    }
  }
  ASSERT_TRUE(found);
  for (const char* wanted :
       {"SDL_GL_SwapWindow ", "SDL_GetRelativeMouseState ", "SDL_PumpEvents ", "SDL_GetRelativeMouseMode "})
    EXPECT_NE(names.find(wanted), std::string::npos) << wanted;
  FreeLibrary(image);
}

INSTANTIATE_TEST_SUITE_P(standin, BuildImage, ::testing::ValuesIn(kBuilds),
                         [](const auto& param_info) { return param_info.param.gog ? "GOG" : "Steam"; });

}  // namespace

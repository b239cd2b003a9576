#include "host/import_slot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/fake_pe_image.h"

namespace {

constexpr uint64_t kSwap = 0x7FF612340000;
constexpr uint64_t kDetour = 0x7FF698760000;

std::vector<FakeImportModule> HostImports() {
  return {
      {"KERNEL32.dll", {{"Sleep", 0, 0x1000}, {"SDL_GL_SwapWindow", 0, 0x1008}}},   // same name, wrong module
      {"SDL2.dll", {{"SDL_Init", 0, 0x2000}, {"", 7, 0x2008}, {"SDL_GL_SwapWindow", 0, kSwap}}},
  };
}

TEST(FindImportSlot, FindsTheAddressTableEntryOfTheNamedImport) {
  FakePeImage image(HostImports());
  const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
  EXPECT_EQ(lookup.message, L"");
  EXPECT_EQ(lookup.slot, image.slot(1, 2));
  EXPECT_EQ(lookup.value, kSwap);
}

TEST(FindImportSlot, NamesMatchIgnoringAsciiCase) {
  FakePeImage image(HostImports());
  const ImportSlotLookup lookup = FindImportSlot(image.module(), "sdl2.DLL", "sdl_gl_swapWINDOW");
  EXPECT_EQ(lookup.slot, image.slot(1, 2));
  EXPECT_EQ(lookup.value, kSwap);
}

// An entry whose low bits lead to the wanted name record, but which is an import by ordinal (or
// too large to be an RVA), must not be taken for the named import.
TEST(FindImportSlot, SkipsOrdinalAndOverlargeEntriesThatPointAtTheName) {
  for (uint64_t flag : {uint64_t{IMAGE_ORDINAL_FLAG64}, uint64_t{1} << 32}) {
    FakePeImage image({{"SDL2.dll", {{"", 1, 0x5000}, {"SDL_GL_SwapWindow", 0, kSwap}}}});
    const uint64_t nameRecord = *image.lookupEntry(0, 1);
    *image.lookupEntry(0, 0) = flag | nameRecord;
    const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
    EXPECT_EQ(lookup.slot, image.slot(0, 1)) << std::hex << flag;
    EXPECT_EQ(lookup.value, kSwap);

    // With the named entry gone, nothing is found.
    *image.lookupEntry(0, 1) = flag | nameRecord;
    EXPECT_EQ(FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow").message,
              L"Function was not present in the requested import module.");
  }
}

TEST(FindImportSlot, FindsAnImportOfThisProgram) {
  const ImportSlotLookup lookup = FindImportSlot(GetModuleHandleW(nullptr), "kernel32.dll", "FlushFileBuffers");
  ASSERT_NE(lookup.slot, nullptr) << testing::PrintToString(lookup.message);
  EXPECT_EQ(lookup.value, reinterpret_cast<uint64_t>(
                              GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "FlushFileBuffers")));
  EXPECT_EQ(*lookup.slot, lookup.value);
}

struct MalformedCase {
  const char* name;
  std::function<void(FakePeImage&)> breakIt;
  const wchar_t* message;
};

TEST(FindImportSlot, EachMalformedImageGivesItsMessage) {
  constexpr const wchar_t* kDos = L"Invalid DOS header while locating import.";
  constexpr const wchar_t* kPe64 = L"Invalid PE64 header while locating import.";
  constexpr const wchar_t* kDirectory = L"Host has no valid import directory.";
  constexpr const wchar_t* kModule = L"Requested import module was not present in the host.";
  constexpr const wchar_t* kTable = L"Named import lookup table is unavailable.";
  constexpr const wchar_t* kFunction = L"Function was not present in the requested import module.";
  const auto directory = [](FakePeImage& image) -> IMAGE_DATA_DIRECTORY& {
    return image.ntHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  };
  // Writes text at the very end of the image with no terminator after it.
  const auto unterminatedAtEnd = [](FakePeImage& image, const char* text) {
    const uint32_t rva = image.imageSize() - static_cast<uint32_t>(std::strlen(text));
    std::memcpy(image.base() + rva, text, std::strlen(text));
    return rva;
  };
  const MalformedCase cases[] = {
      {"DOS signature", [](FakePeImage& i) { reinterpret_cast<IMAGE_DOS_HEADER*>(i.base())->e_magic = 0; }, kDos},
      {"NT offset 0", [](FakePeImage& i) { reinterpret_cast<IMAGE_DOS_HEADER*>(i.base())->e_lfanew = 0; }, kDos},
      {"NT signature", [](FakePeImage& i) { i.ntHeaders()->Signature = 0; }, kPe64},
      {"PE32 magic", [](FakePeImage& i) { i.ntHeaders()->OptionalHeader.Magic = 0x10B; }, kPe64},
      {"NT headers past the image", [](FakePeImage& i) { reinterpret_cast<IMAGE_DOS_HEADER*>(i.base())->e_lfanew = 0x7FFFFF00; },
       kPe64},
      {"directory RVA 0", [&](FakePeImage& i) { directory(i).VirtualAddress = 0; }, kDirectory},
      {"directory size 19", [&](FakePeImage& i) { directory(i).Size = 19; }, kDirectory},
      {"directory beyond the image", [&](FakePeImage& i) { directory(i).VirtualAddress = i.imageSize() - 20; directory(i).Size = 40; },
       kDirectory},
      {"directory size wraps", [&](FakePeImage& i) { directory(i).Size = 0xFFFFFFF0u; }, kDirectory},
      {"module missing", [](FakePeImage& i) { std::memcpy(i.base() + i.descriptor(1)->Name, "SDL3", 4); }, kModule},
      {"terminator before the module",
       [](FakePeImage& i) {
         i.descriptor(0)->Name = 0;
         i.descriptor(0)->FirstThunk = 0;
       },
       kModule},
      {"directory too short to reach the module", [&](FakePeImage& i) { directory(i).Size = 39; }, kModule},
      {"module name outside the image", [](FakePeImage& i) { i.descriptor(1)->Name = i.imageSize(); }, kModule},
      {"module name unterminated at the image end",
       [&](FakePeImage& i) { i.descriptor(1)->Name = unterminatedAtEnd(i, "SDL2.dll"); }, kModule},
      {"no lookup table", [](FakePeImage& i) { i.descriptor(1)->OriginalFirstThunk = 0; }, kTable},
      {"no address table", [](FakePeImage& i) { i.descriptor(1)->FirstThunk = 0; }, kTable},
      {"function missing", [](FakePeImage& i) { *i.lookupEntry(1, 2) = 0; }, kFunction},
      {"name record outside the image", [](FakePeImage& i) { *i.lookupEntry(1, 2) = i.imageSize() - 1; }, kFunction},
      {"function name unterminated at the image end",
       [&](FakePeImage& i) { *i.lookupEntry(1, 2) = unterminatedAtEnd(i, "..SDL_GL_SwapWindow"); }, kFunction},
      {"address table not 8-byte aligned", [](FakePeImage& i) { i.descriptor(1)->FirstThunk += 4; },
       L"Import address-table entry is not 8-byte aligned."},
      {"address table past the image end",
       [](FakePeImage& i) { i.descriptor(1)->FirstThunk = i.imageSize() - 8; }, kFunction},
      {"lookup table running to the image end without a terminator",
       [](FakePeImage& i) {
         const uint32_t rva = i.imageSize() - 16;
         std::memset(i.base() + rva, 0x11, 16);
         i.descriptor(1)->OriginalFirstThunk = rva;
       },
       kFunction},
  };
  for (const MalformedCase& c : cases) {
    FakePeImage image(HostImports());
    c.breakIt(image);
    const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
    EXPECT_EQ(lookup.message, c.message) << c.name;
    EXPECT_EQ(lookup.slot, nullptr) << c.name;
  }
}

TEST(FindImportSlot, RefusesNullArguments) {
  FakePeImage image(HostImports());
  EXPECT_EQ(FindImportSlot(nullptr, "SDL2.dll", "SDL_GL_SwapWindow").message, L"Invalid import lookup argument.");
  EXPECT_EQ(FindImportSlot(image.module(), nullptr, "SDL_GL_SwapWindow").message, L"Invalid import lookup argument.");
  EXPECT_EQ(FindImportSlot(image.module(), "SDL2.dll", nullptr).message, L"Invalid import lookup argument.");
}

TEST(ReplaceImportSlot, WritesTheNewValueOverTheExpectedOne) {
  FakePeImage image(HostImports());
  const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
  std::wstring message;
  EXPECT_TRUE(ReplaceImportSlot(lookup.slot, lookup.value, kDetour, message));
  EXPECT_EQ(message, L"");
  EXPECT_EQ(*image.slot(1, 2), kDetour);
  // And back, as an uninstall does.
  EXPECT_TRUE(ReplaceImportSlot(lookup.slot, kDetour, lookup.value, message));
  EXPECT_EQ(*image.slot(1, 2), kSwap);
}

TEST(ReplaceImportSlot, SlotChangedByAnotherHookerIsLeftAlone) {
  FakePeImage image(HostImports());
  const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
  constexpr uint64_t kOtherHooker = 0x7FF655550000;
  *lookup.slot = kOtherHooker;
  std::wstring message;
  EXPECT_FALSE(ReplaceImportSlot(lookup.slot, lookup.value, kDetour, message));
  EXPECT_EQ(message, L"Import slot changed before hook installation.");
  EXPECT_EQ(*image.slot(1, 2), kOtherHooker);
}

TEST(ReplaceImportSlot, ReadOnlySlotPageIsWrittenAndItsProtectionRestored) {
  FakePeImage image(HostImports());
  const ImportSlotLookup lookup = FindImportSlot(image.module(), "SDL2.dll", "SDL_GL_SwapWindow");
  const uint32_t pageRva = static_cast<uint32_t>(reinterpret_cast<uint8_t*>(lookup.slot) - image.base()) & ~0xFFFu;
  image.protect(pageRva, 0x1000, PAGE_READONLY);
  std::wstring message;
  EXPECT_TRUE(ReplaceImportSlot(lookup.slot, lookup.value, kDetour, message));
  EXPECT_EQ(message, L"");
  EXPECT_EQ(*image.slot(1, 2), kDetour);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(VirtualQuery(lookup.slot, &info, sizeof(info)), sizeof(info));
  EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READONLY));
  image.protect(pageRva, 0x1000, PAGE_READWRITE);
}

TEST(ReplaceImportSlot, RefusesZeroArguments) {
  uint64_t slot = kSwap;
  std::wstring message;
  EXPECT_FALSE(ReplaceImportSlot(nullptr, kSwap, kDetour, message));
  EXPECT_EQ(message, L"Invalid import replacement argument.");
  message.clear();
  EXPECT_FALSE(ReplaceImportSlot(&slot, 0, kDetour, message));
  EXPECT_EQ(message, L"Invalid import replacement argument.");
  message.clear();
  EXPECT_FALSE(ReplaceImportSlot(&slot, kSwap, 0, message));
  EXPECT_EQ(message, L"Invalid import replacement argument.");
  EXPECT_EQ(slot, kSwap);
}

TEST(ReplaceImportSlot, ReportsTheErrorWhenTheSlotCannotBeMadeWritable) {
  void* reserved = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(reserved, nullptr);
  auto* slot = static_cast<uint64_t*>(reserved);
  DWORD old = 0;
  ASSERT_FALSE(VirtualProtect(slot, 8, PAGE_READWRITE, &old));
  const DWORD error = GetLastError();   // what Windows says about this address
  std::wstring message;
  EXPECT_FALSE(ReplaceImportSlot(slot, kSwap, kDetour, message));
  EXPECT_EQ(message, L"VirtualProtect could not make the import slot writable (error " + std::to_wstring(error) + L").");
  VirtualFree(reserved, 0, MEM_RELEASE);
}

}  // namespace

namespace {

TEST(FindImportSlot, MemoryReleasedSinceTheLastLookupIsNotRead) {
  auto* image = new FakePeImage(HostImports());
  const HMODULE module = image->module();
  ASSERT_NE(FindImportSlot(module, "SDL2.dll", "SDL_GL_SwapWindow").slot, nullptr);
  delete image;
  EXPECT_EQ(FindImportSlot(module, "SDL2.dll", "SDL_GL_SwapWindow").message,
            L"Invalid DOS header while locating import.");
}

}  // namespace

#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FormatHex, PrintsUpperCaseDigitsWithoutPadding) {
  EXPECT_EQ(FormatHex(0), L"0x0");
  EXPECT_EQ(FormatHex(0x8664), L"0x8664");
  EXPECT_EQ(FormatHex(0x9FD000), L"0x9FD000");
  EXPECT_EQ(FormatHex(0xFFFFFFFFFFFFFFFFull), L"0xFFFFFFFFFFFFFFFF");
}

TEST(FormatBounded, KeepsWhatFitsWhenTheBufferIsTooSmall) {
  EXPECT_EQ(FormatBounded(8, L"%ls-%d", L"abc", 42), L"abc-42");
  // 7 characters plus the terminator fill a buffer of 8.
  EXPECT_EQ(FormatBounded(8, L"%ls", L"abcdefghij"), L"abcdefg");
}

struct ExtensionCase {
  const wchar_t* path;
  const wchar_t* expected;
};

TEST(ReplaceExtension, ReplacesOnlyAnExtensionOfTheFileName) {
  const ExtensionCase cases[] = {
      {L"C:\\Games\\QuarrenVelt.Framolt.dll", L"C:\\Games\\QuarrenVelt.Framolt.ini"},
      {L"C:/Games/plugin.dll", L"C:/Games/plugin.ini"},
      {L"C:\\Games.v2\\plugin", L"C:\\Games.v2\\plugin.ini"},   // the dot belongs to a folder
      {L"C:\\Games.v2/plugin", L"C:\\Games.v2/plugin.ini"},
      {L"plugin.dll", L"plugin.ini"},                            // no separator at all
      {L"plugin", L"plugin.ini"},
      {L"C:\\Games\\plugin.", L"C:\\Games\\plugin.ini"},
  };
  for (const ExtensionCase& c : cases) EXPECT_EQ(ReplaceExtension(c.path, L".ini"), c.expected) << c.path;
  EXPECT_EQ(ReplaceExtension(L"C:\\X\\QuarrenVelt.Framolt.dll", L".previous.log"),
            L"C:\\X\\QuarrenVelt.Framolt.previous.log");
}

TEST(EqualsIgnoreAsciiCase, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase(std::wstring_view(L"quarrenvelt.EXE"), std::wstring_view(L"QuarrenVelt.exe")));
  EXPECT_TRUE(EqualsIgnoreAsciiCase(std::string_view("sdl2.DLL"), std::string_view("SDL2.dll")));
  EXPECT_FALSE(EqualsIgnoreAsciiCase(std::wstring_view(L"QuarrenVelt.ex"), std::wstring_view(L"QuarrenVelt.exe")));
  // '@' and '`' sit next to the letters: a fold by bit 0x20 would wrongly equate them.
  EXPECT_FALSE(EqualsIgnoreAsciiCase(std::string_view("@"), std::string_view("`")));
  // Non-ASCII letters are compared as they are.
  EXPECT_FALSE(EqualsIgnoreAsciiCase(std::wstring_view(L"\u00C4"), std::wstring_view(L"\u00E4")));
}

}  // namespace

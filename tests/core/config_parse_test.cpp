#include "core/config_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct BoolWordCase {
  const wchar_t* raw;
  bool accepted;
  bool value;
};

TEST(ConfigBoolWord, AcceptsTheEightWordsAfterTrimmingAndLowerCasing) {
  const BoolWordCase cases[] = {
      {L"1", true, true},        {L"true", true, true},   {L"yes", true, true},     {L"on", true, true},
      {L"0", true, false},       {L"false", true, false}, {L"no", true, false},     {L"off", true, false},
      {L" Yes ", true, true},    {L"TRUE", true, true},   {L"\tOff\r\n", true, false}, {L"oN", true, true},
      {L"enable", false, false}, {L"y", false, false},    {L"01", false, false},    {L"true false", false, false},
      {L"yes!", false, false},   {L"", false, false},     {L"   ", false, false},   {L"+1", false, false},
  };
  for (const BoolWordCase& c : cases) {
    bool value = !c.value;   // a refused word must leave the value alone; an accepted one must set it
    EXPECT_EQ(ParseConfigBoolWord(c.raw, value), c.accepted) << testing::PrintToString(std::wstring(c.raw));
    if (c.accepted) EXPECT_EQ(value, c.value) << testing::PrintToString(std::wstring(c.raw));
  }
}

TEST(ConfigBoolWord, RefusalMessageQuotesTheValueAsRead) {
  EXPECT_EQ(InvalidBooleanMessage(L"Features", L"RenderUnlock", L" enable "),
            L"Invalid boolean value for [Features] RenderUnlock:  enable ");
}

struct UnsignedCase {
  const wchar_t* raw;
  uint32_t minimum;
  uint32_t maximum;
  bool accepted;
  uint32_t value;            // when accepted
  const wchar_t* message;    // when refused
};

TEST(ConfigUnsigned, AcceptsDecimalsInsideTheRangeAndNamesTheKeyOtherwise) {
  const UnsignedCase cases[] = {
      {L"144", 0, 1000, true, 144, nullptr},
      {L"+144", 0, 1000, true, 144, nullptr},
      {L" 60 ", 1, 60, true, 60, nullptr},
      {L"0", 0, 1000, true, 0, nullptr},
      {L"1000", 0, 1000, true, 1000, nullptr},
      {L"0001", 1, 60, true, 1, nullptr},
      {L"1001", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 1001"},
      {L"0", 1, 60, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 1..60): 0"},
      {L"61", 1, 60, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 1..60): 61"},
      {L"60fps", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 60fps"},
      {L"abc", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): abc"},
      {L"+", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): +"},
      {L"0x10", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 0x10"},
      {L"1 2", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 1 2"},
      {L"12.5", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 12.5"},
      // Past 32 bits, and past 64 bits (where the parser itself reports overflow).
      {L"4294967296", 0, 1000, false, 0,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 4294967296"},
      {L"18446744073709551616", 0, 1000, false, 0,
       L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): 18446744073709551616"},
      {L"-5", 0, 1000, false, 0, L"Invalid unsigned value for [Timing] TargetFPS: -5"},
      {L"-0", 0, 1000, false, 0, L"Invalid unsigned value for [Timing] TargetFPS: -0"},
      {L" -5", 0, 1000, false, 0, L"Invalid unsigned value for [Timing] TargetFPS:  -5"},
      {L"   ", 0, 1000, false, 0, L"Invalid unsigned value for [Timing] TargetFPS:    "},
      {L"+-5", 0, 1000, false, 0, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): +-5"},
  };
  for (const UnsignedCase& c : cases) {
    uint32_t value = 777;
    std::wstring message;
    const bool ok = ParseConfigUnsigned(c.raw, L"Timing", L"TargetFPS", c.minimum, c.maximum, value, message);
    const std::string label = testing::PrintToString(std::wstring(c.raw));
    EXPECT_EQ(ok, c.accepted) << label;
    if (c.accepted) {
      EXPECT_EQ(value, c.value) << label;
    } else {
      EXPECT_EQ(message, c.message) << label;
      EXPECT_EQ(value, 777u) << "a refused value must not be stored: " << label;
    }
  }
}

TEST(ConfigValues, TextAfterAnEmbeddedNulIsPartOfTheValue) {
  const std::wstring number(L"5\0x", 3);
  uint32_t value = 777;
  std::wstring message;
  EXPECT_FALSE(ParseConfigUnsigned(number, L"Timing", L"TargetFPS", 0, 1000, value, message));
  EXPECT_EQ(value, 777u);
  EXPECT_EQ(message, L"Out-of-range value for [Timing] TargetFPS (expected 0..1000): " + number);
  bool flag = false;
  EXPECT_FALSE(ParseConfigBoolWord(std::wstring(L"1\0x", 3), flag));
}

}  // namespace

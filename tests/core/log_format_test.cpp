#include "core/log_format.h"

#include <gtest/gtest.h>

namespace {

TEST(LogPrefix, HasZeroPaddedDateTimeAndLevel) {
  const LogTimestamp time{2024, 3, 7, 9, 5, 4, 7};
  EXPECT_EQ(FormatLogPrefix(time, 0), L"[2024-03-07 09:05:04.007] [DEBUG] ");
  EXPECT_EQ(FormatLogPrefix(time, 1), L"[2024-03-07 09:05:04.007] [INFO] ");
  EXPECT_EQ(FormatLogPrefix(time, 2), L"[2024-03-07 09:05:04.007] [WARN] ");
  EXPECT_EQ(FormatLogPrefix(time, 3), L"[2024-03-07 09:05:04.007] [ERROR] ");
}

TEST(LogPrefix, WidestFieldsAreNotCut) {
  const LogTimestamp time{12345, 12, 31, 23, 59, 59, 999};
  EXPECT_EQ(FormatLogPrefix(time, 3), L"[12345-12-31 23:59:59.999] [ERROR] ");
}

TEST(LogPrefix, LevelsPastErrorPrintUnknown) {
  const LogTimestamp time{2024, 1, 1, 0, 0, 0, 0};
  for (uint32_t level : {4u, 7u, 0xFFFFFFFFu}) {
    EXPECT_EQ(FormatLogPrefix(time, level), L"[2024-01-01 00:00:00.000] [UNKNOWN] ") << level;
    EXPECT_STREQ(LogLevelName(level), L"UNKNOWN") << level;
  }
}

}  // namespace

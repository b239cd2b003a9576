#pragma once
// The log line's prefix, kept free of Windows so it can be tested natively.
#include <cstdint>
#include <string>

struct LogTimestamp {
  uint16_t year, month, day, hour, minute, second, milliseconds;
};

const wchar_t* LogLevelName(uint32_t level);   // "UNKNOWN" past ERROR
// "[YYYY-MM-DD hh:mm:ss.mmm] [LEVEL] ", formatted into 64 characters (truncated if longer).
std::wstring FormatLogPrefix(const LogTimestamp& time, uint32_t level);

#include "core/log_format.h"

#include "core/text.h"

const wchar_t* LogLevelName(uint32_t level) {
  switch (level) {
    case 0: return L"DEBUG";
    case 1: return L"INFO";
    case 2: return L"WARN";
    case 3: return L"ERROR";
    default: return L"UNKNOWN";
  }
}

std::wstring FormatLogPrefix(const LogTimestamp& time, uint32_t level) {
  return FormatBounded(64, L"[%04u-%02u-%02u %02u:%02u:%02u.%03u] [%ls] ", unsigned{time.year}, unsigned{time.month},
                       unsigned{time.day}, unsigned{time.hour}, unsigned{time.minute}, unsigned{time.second},
                       unsigned{time.milliseconds}, LogLevelName(level));
}

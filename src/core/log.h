#pragma once
// One process-wide log: every line goes to the debugger output and, when open, to a UTF-8 file.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class LogLevel : uint32_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// Opens the log file for appending; a second call keeps the file already open.
bool OpenLogFile(const wchar_t* path);
void SetDiagnostics(bool enabled);
void LogWrite(LogLevel level, const wchar_t* text, size_t length);
inline void LogWrite(LogLevel level, std::wstring_view text) { LogWrite(level, text.data(), text.size()); }

// %LOCALAPPDATA%\QuarrenVelt.Framolt\QuarrenVelt.Framolt.log, creating the folder; empty when unavailable.
std::wstring LocalLogPath();

// True exactly once per latch: the gate for every once-only log line.
// A plain load first: on per-frame paths the latch is nearly always already set.
inline bool LatchOnce(std::atomic<bool>& latch) {
  return !latch.load(std::memory_order_relaxed) && !latch.exchange(true, std::memory_order_acq_rel);
}

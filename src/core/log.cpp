#include "core/log.h"

#include <windows.h>

#include "core/log_format.h"

namespace {

struct LogState {
  SRWLOCK lock = SRWLOCK_INIT;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool diagnostics = true;   // on until the configuration says otherwise, so start-up DEBUG lines appear
};

LogState g_log;

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

void WriteUtf8(HANDLE file, const std::wstring& line) {
  const int wideLength = static_cast<int>(line.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string utf8(static_cast<size_t>(bytes), '\0');
  const int converted = WideCharToMultiByte(CP_UTF8, 0, line.data(), wideLength, utf8.data(), bytes, nullptr, nullptr);
  if (converted <= 0) return;
  DWORD written = 0;
  WriteFile(file, utf8.data(), static_cast<DWORD>(converted), &written, nullptr);
}

}  // namespace

bool OpenLogFile(const wchar_t* path) {
  ExclusiveLock guard(g_log.lock);
  if (g_log.file != INVALID_HANDLE_VALUE) return true;
  g_log.file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return g_log.file != INVALID_HANDLE_VALUE;
}

void SetDiagnostics(bool enabled) {
  ExclusiveLock guard(g_log.lock);
  g_log.diagnostics = enabled;
}

void LogWrite(LogLevel level, const wchar_t* text, size_t length) {
  ExclusiveLock guard(g_log.lock);
  const uint32_t code = static_cast<uint32_t>(level);
  if (code == 0 && !g_log.diagnostics) return;

  SYSTEMTIME now;
  GetLocalTime(&now);
  const LogTimestamp stamp{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  std::wstring line = FormatLogPrefix(stamp, code);
  if (text != nullptr) line.append(text, length);
  line.append(L"\r\n");

  OutputDebugStringW(line.c_str());
  if (g_log.file == INVALID_HANDLE_VALUE) return;
  WriteUtf8(g_log.file, line);
  if (code == 2 || code == 3) FlushFileBuffers(g_log.file);
}

std::wstring LocalLogPath() {
  constexpr DWORD kCapacity = 32768;
  std::wstring value(kCapacity, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), kCapacity);
  if (length == 0 || length >= kCapacity) return {};
  value.resize(length);
  const std::wstring folder = value + L"\\QuarrenVelt.Framolt";
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  return folder + L"\\QuarrenVelt.Framolt.log";
}

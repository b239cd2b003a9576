#include "core/log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/import_slot.h"
#include "support/temp_folder.h"

namespace {

// The log is process-wide and opens its file once, so every test here shares one file, opened
// the first time a test needs it, and looks only at lines carrying its own marker. The file is
// created with a line of its own before the open, to show that opening appends.
constexpr char kEarlierContent[] = "line from an earlier run\r\n";

const std::wstring& ProcessLogPath() {
  static const std::wstring path = [] {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring file = std::wstring(temp) + L"framolt-log-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount64()) + L".log";
    WriteFileBytes(file, kEarlierContent);
    if (!OpenLogFile(file.c_str())) ADD_FAILURE() << "OpenLogFile failed";
    std::atexit([] { DeleteFileW(ProcessLogPath().c_str()); });
    return file;
  }();
  return path;
}

std::wstring Marker(const char* what) {
  static unsigned counter = 0;
  return L"<" + FromUtf8(what) + L"-" + std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter) + L">";
}

struct ParsedLine {
  bool shapeOk = false;
  std::string level;
  std::wstring message;
};

// "[YYYY-MM-DD hh:mm:ss.mmm] [LEVEL] message" with the CR LF already removed.
ParsedLine ParseLine(const std::string& utf8) {
  ParsedLine parsed;
  const std::string shape = "[0000-00-00 00:00:00.000] [";
  if (utf8.size() < shape.size()) return parsed;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = utf8[i] >= '0' && utf8[i] <= '9';
    if (shape[i] == '0' ? !digit : utf8[i] != shape[i]) return parsed;
  }
  const size_t close = utf8.find("] ", shape.size());
  if (close == std::string::npos) return parsed;
  parsed.level = utf8.substr(shape.size(), close - shape.size());
  parsed.message = FromUtf8(utf8.substr(close + 2));
  parsed.shapeOk = true;
  return parsed;
}

// The lines of the shared file (CR LF removed) that contain marker.
std::vector<std::string> LinesWith(const std::wstring& marker) {
  const std::string bytes = ReadFileBytes(ProcessLogPath());
  const std::string needle = ToUtf8(marker);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

// Watches the two calls the log makes into Windows for its sinks, by redirecting this test
// program's own import slots for them; each recorder forwards to the real function.
class SinkRecorder {
 public:
  SinkRecorder() {
    Redirect("OutputDebugStringW", reinterpret_cast<uint64_t>(&RecordDebugString), debug_);
    Redirect("FlushFileBuffers", reinterpret_cast<uint64_t>(&RecordFlush), flush_);
  }
  ~SinkRecorder() {
    std::wstring ignored;
    if (debug_.slot) ReplaceImportSlot(debug_.slot, reinterpret_cast<uint64_t>(&RecordDebugString), debug_.value, ignored);
    if (flush_.slot) ReplaceImportSlot(flush_.slot, reinterpret_cast<uint64_t>(&RecordFlush), flush_.value, ignored);
    std::lock_guard<std::mutex> guard(mutex_);
    debugStrings_.clear();
    flushCount_ = 0;
  }
  static std::vector<std::wstring> DebugStrings() {
    std::lock_guard<std::mutex> guard(mutex_);
    return debugStrings_;
  }
  static int FlushCount() {
    std::lock_guard<std::mutex> guard(mutex_);
    return flushCount_;
  }

 private:
  static void Redirect(const char* function, uint64_t recorder, ImportSlotLookup& lookup) {
    lookup = FindImportSlot(GetModuleHandleW(nullptr), "KERNEL32.dll", function);
    ASSERT_NE(lookup.slot, nullptr) << function << ": " << testing::PrintToString(lookup.message);
    std::wstring message;
    ASSERT_TRUE(ReplaceImportSlot(lookup.slot, lookup.value, recorder, message)) << testing::PrintToString(message);
  }
  static void WINAPI RecordDebugString(LPCWSTR text) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      debugStrings_.emplace_back(text);
    }
    reinterpret_cast<void(WINAPI*)(LPCWSTR)>(debug_.value)(text);
  }
  static BOOL WINAPI RecordFlush(HANDLE file) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++flushCount_;
    }
    return reinterpret_cast<BOOL(WINAPI*)(HANDLE)>(flush_.value)(file);
  }

  static inline ImportSlotLookup debug_;
  static inline ImportSlotLookup flush_;
  static inline std::mutex mutex_;
  static inline std::vector<std::wstring> debugStrings_;
  static inline int flushCount_ = 0;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessLogPath();
    SetDiagnostics(true);
  }
  void TearDown() override { SetDiagnostics(true); }
};

TEST_F(LogTest, LineIsPrefixLevelTextAndCrLf) {
  struct LevelCase {
    LogLevel level;
    const char* name;
  };
  const LevelCase cases[] = {{LogLevel::Debug, "DEBUG"},
                             {LogLevel::Info, "INFO"},
                             {LogLevel::Warn, "WARN"},
                             {LogLevel::Error, "ERROR"},
                             {static_cast<LogLevel>(7), "UNKNOWN"}};
  for (const LevelCase& c : cases) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring marker = Marker(c.name);
    LogWrite(c.level, L"text " + marker);
    const std::vector<std::string> lines = LinesWith(marker);
    ASSERT_EQ(lines.size(), 1u) << c.name;
    const ParsedLine parsed = ParseLine(lines[0]);
    EXPECT_TRUE(parsed.shapeOk) << lines[0];
    EXPECT_EQ(parsed.level, c.name);
    EXPECT_EQ(parsed.message, L"text " + marker);
    char date[16];
    std::snprintf(date, sizeof(date), "[%04u-%02u-%02u", unsigned{now.wYear}, unsigned{now.wMonth}, unsigned{now.wDay});
    EXPECT_EQ(lines[0].substr(0, 11), date) << "the local date starts the line";
  }
  // Every line of the file ends in CR LF: nothing is left after the last one.
  const std::string bytes = ReadFileBytes(ProcessLogPath());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
}

TEST_F(LogTest, CountedTextNeedNotBeTerminated) {
  const std::wstring marker = Marker("counted");
  const std::wstring longer = marker + L" and more that is not part of the message";
  LogWrite(LogLevel::Info, longer.data(), marker.size());
  const std::vector<std::string> lines = LinesWith(marker);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(ParseLine(lines[0]).message, marker);
}

TEST_F(LogTest, OpeningAppendsToWhatTheFileHeld) {
  LogWrite(LogLevel::Info, Marker("append"));
  const std::string bytes = ReadFileBytes(ProcessLogPath());
  EXPECT_EQ(bytes.substr(0, sizeof(kEarlierContent) - 1), kEarlierContent);
}

TEST_F(LogTest, SecondOpenKeepsTheFirstFile) {
  TempFolder folder(L"second-log");
  const std::wstring other = folder.file(L"other.log");
  EXPECT_TRUE(OpenLogFile(other.c_str()));
  const std::wstring marker = Marker("second-open");
  LogWrite(LogLevel::Warn, marker);
  EXPECT_FALSE(FileExists(other));
  EXPECT_EQ(LinesWith(marker).size(), 1u);
}

TEST_F(LogTest, NonAsciiTextIsWrittenAsUtf8WithoutByteOrderMark) {
  const std::wstring marker = Marker("utf8");
  // a-umlaut, sharp s, two CJK ideographs and an emoji outside the basic plane.
  LogWrite(LogLevel::Info, marker + L" \u00E4\u00DF \u65E5\u672C \U0001F600");
  const std::vector<std::string> lines = LinesWith(marker);
  ASSERT_EQ(lines.size(), 1u);
  const std::string expectedTail = " \xC3\xA4\xC3\x9F \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
  ASSERT_GE(lines[0].size(), expectedTail.size());
  EXPECT_EQ(lines[0].substr(lines[0].size() - expectedTail.size()), expectedTail);
  EXPECT_NE(ReadFileBytes(ProcessLogPath()).substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(LogTest, DebugLinesFollowTheDiagnosticsFlagInBothSinks) {
  SinkRecorder recorder;
  const std::wstring before = Marker("debug-before");
  const std::wstring hidden = Marker("debug-hidden");
  const std::wstring info = Marker("info-while-off");
  const std::wstring after = Marker("debug-after");
  LogWrite(LogLevel::Debug, before);
  SetDiagnostics(false);
  LogWrite(LogLevel::Debug, hidden);
  LogWrite(LogLevel::Info, info);
  SetDiagnostics(true);
  LogWrite(LogLevel::Debug, after);

  EXPECT_EQ(LinesWith(before).size(), 1u);
  EXPECT_EQ(LinesWith(hidden).size(), 0u);
  EXPECT_EQ(LinesWith(info).size(), 1u);
  EXPECT_EQ(LinesWith(after).size(), 1u);
  std::vector<std::wstring> seen;
  for (const std::wstring& s : SinkRecorder::DebugStrings())
    for (const std::wstring* m : {&before, &hidden, &info, &after})
      if (s.find(*m) != std::wstring::npos) seen.push_back(*m);
  EXPECT_EQ(seen, (std::vector<std::wstring>{before, info, after}));
}

TEST_F(LogTest, DebuggerOutputGetsTheWholeLine) {
  SinkRecorder recorder;
  const std::wstring marker = Marker("debugger");
  LogWrite(LogLevel::Error, marker);
  const std::vector<std::string> lines = LinesWith(marker);
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::wstring> strings = SinkRecorder::DebugStrings();
  ASSERT_EQ(strings.size(), 1u);
  EXPECT_EQ(strings[0], FromUtf8(lines[0]) + L"\r\n");
}

TEST_F(LogTest, OnlyWarnAndErrorLinesAreFlushed) {
  SinkRecorder recorder;
  struct FlushCase {
    LogLevel level;
    int flushes;
  };
  const FlushCase cases[] = {{LogLevel::Debug, 0}, {LogLevel::Info, 0}, {LogLevel::Warn, 1},
                             {LogLevel::Error, 1}, {static_cast<LogLevel>(7), 0}};
  for (const FlushCase& c : cases) {
    const int before = SinkRecorder::FlushCount();
    LogWrite(c.level, Marker("flush"));
    EXPECT_EQ(SinkRecorder::FlushCount() - before, c.flushes) << "level " << static_cast<unsigned>(c.level);
  }
}

TEST_F(LogTest, TwoThreadsNeverMixALine) {
  constexpr int kLines = 300;
  const std::wstring marker = Marker("threads");
  auto writer = [&marker](wchar_t fill) {
    const std::wstring filler(120, fill);
    for (int i = 0; i < kLines; ++i) LogWrite(LogLevel::Info, marker + L" " + std::to_wstring(i) + L" " + filler);
  };
  std::thread a(writer, L'a');
  std::thread b(writer, L'b');
  a.join();
  b.join();

  int next[2] = {0, 0};
  for (const std::string& line : LinesWith(marker)) {
    const ParsedLine parsed = ParseLine(line);
    ASSERT_TRUE(parsed.shapeOk) << line;
    ASSERT_EQ(parsed.level, "INFO");
    const wchar_t fill = parsed.message.back();
    ASSERT_TRUE(fill == L'a' || fill == L'b') << line;
    const int thread = fill == L'a' ? 0 : 1;
    // Each thread's lines arrive whole and in its own order.
    EXPECT_EQ(parsed.message, marker + L" " + std::to_wstring(next[thread]) + L" " + std::wstring(120, fill));
    ++next[thread];
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

class LocalAppDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value, 32768);
    hadValue_ = length > 0 && length < 32768;
    if (hadValue_) saved_.assign(value, length);
  }
  void TearDown() override { SetEnvironmentVariableW(L"LOCALAPPDATA", hadValue_ ? saved_.c_str() : nullptr); }

  TempFolder folder_{L"localappdata"};

 private:
  bool hadValue_ = false;
  std::wstring saved_;
};

TEST_F(LocalAppDataTest, PathIsInAPluginFolderThatItCreates) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", folder_.path().c_str()));
  const std::wstring expectedFolder = folder_.path() + L"\\QuarrenVelt.Framolt";
  EXPECT_EQ(LocalLogPath(), expectedFolder + L"\\QuarrenVelt.Framolt.log");
  const DWORD attributes = GetFileAttributesW(expectedFolder.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // The folder existing already is fine.
  EXPECT_EQ(LocalLogPath(), expectedFolder + L"\\QuarrenVelt.Framolt.log");
}

TEST_F(LocalAppDataTest, NoPathWithoutTheVariableOrAFolder) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr));
  EXPECT_EQ(LocalLogPath(), L"");
  // A parent that does not exist: the folder can't be created.
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", folder_.file(L"missing\\deeper").c_str()));
  EXPECT_EQ(LocalLogPath(), L"");
  // A file where the parent folder should be.
  WriteFileBytes(folder_.file(L"plain-file"), "x");
  ASSERT_TRUE(SetEnvironmentVariableW(L"LOCALAPPDATA", folder_.file(L"plain-file").c_str()));
  EXPECT_EQ(LocalLogPath(), L"");
}

}  // namespace

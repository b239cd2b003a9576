#include "game_run.h"

#include "support/temp_folder.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::wstring WidenUtf8(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The build tree is a Linux path; under Wine it is reachable through drive Z:.
std::wstring WindowsPath(const char* unixPath) {
  std::wstring path = L"Z:" + WidenUtf8(unixPath);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

std::string ReadFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Copies every file of the built game folder; a copy that fails stops the run with the reason.
void CopyGameFolder(const std::wstring& from, const std::wstring& to, const std::wstring& exeName) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) throw std::runtime_error("game folder missing: " + Narrow(from));
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring name = found.cFileName;
    const std::wstring target = name == L"QuarrenVelt.exe" ? exeName : name;
    if (!CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + target).c_str(), FALSE)) {
      const DWORD error = GetLastError();
      FindClose(find);
      throw std::runtime_error("could not copy " + Narrow(name) + ": error " + std::to_string(error));
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// Starts the game; a start that fails under a busy Wine server is tried again before giving up.
PROCESS_INFORMATION StartGame(std::wstring command, const std::wstring& folder, STARTUPINFOW& startup) {
  PROCESS_INFORMATION process{};
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::wstring mutableCommand = command;
    if (CreateProcessW(nullptr, mutableCommand.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                       &process))
      return process;
    error = GetLastError();
    Sleep(250);
  }
  throw std::runtime_error("could not start " + Narrow(command) + ": error " + std::to_string(error));
}

void ParseLog(GameRunResult& result) {
  std::istringstream lines(result.log);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "[YYYY-MM-DD hh:mm:ss.mmm] [LEVEL] message"
    const size_t levelStart = line.find("] [");
    const size_t levelEnd = levelStart == std::string::npos ? std::string::npos : line.find("] ", levelStart + 3);
    if (line.size() < 26 || line[0] != '[' || levelEnd == std::string::npos) {
      result.logLevels.push_back("?");
      result.logMessages.push_back(line);
      continue;
    }
    result.logLevels.push_back(line.substr(levelStart + 3, levelEnd - levelStart - 3));
    result.logMessages.push_back(line.substr(levelEnd + 2));
  }
}

void ParseSummary(GameRunResult& result) {
  std::istringstream lines(result.stdoutText);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("standin:", 0) != 0) continue;
    std::istringstream words(line.substr(8));
    std::string word;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) result.summary[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
}

FrameTable ParseFrames(const std::string& csv) {
  FrameTable table;
  std::istringstream lines(csv);
  std::string line;
  bool header = true;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::istringstream cells(line);
    std::string cell;
    std::vector<double> row;
    while (std::getline(cells, cell, ',')) {
      if (header)
        table.columns.push_back(cell);
      else
        row.push_back(std::strtod(cell.c_str(), nullptr));
    }
    if (!header) table.rows.push_back(std::move(row));
    header = false;
  }
  return table;
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

size_t FrameTable::Column(const std::string& name) const {
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i] == name) return i;
  throw std::runtime_error("no frame column " + name);
}

int GameRunResult::CountMessage(const std::string& text) const {
  int n = 0;
  for (const std::string& m : logMessages) n += m == text ? 1 : 0;
  return n;
}

int GameRunResult::CountMessagePrefix(const std::string& prefix) const {
  int n = 0;
  for (const std::string& m : logMessages) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

bool GameRunResult::HasMessage(const std::string& level, const std::string& text) const {
  for (size_t i = 0; i < logMessages.size(); ++i)
    if (logMessages[i] == text && logLevels[i] == level) return true;
  return false;
}

std::string GameRunResult::Messages() const {
  std::string out;
  for (size_t i = 0; i < logMessages.size(); ++i) out += "[" + logLevels[i] + "] " + logMessages[i] + "\n";
  return out;
}

std::string IniText(const std::map<std::string, std::map<std::string, std::string>>& sections) {
  std::string out;
  for (const auto& [section, keys] : sections) {
    out += "[" + section + "]\r\n";
    for (const auto& [key, value] : keys) out += key + "=" + value + "\r\n";
  }
  return out;
}

GameRunResult RunGame(const GameRunOptions& options) {
  GameRunResult result;
  const TempFolder folder(L"e2e");
  result.folder = folder.path();
  CopyGameFolder(WindowsPath(FRAMOLT_GAME_DIR) + L"\\" + options.build, result.folder, options.exeName);
  if (!options.ini.empty()) {
    std::ofstream ini((result.folder + L"\\QuarrenVelt.Framolt.ini").c_str(), std::ios::binary);
    ini << options.ini;
  }

  std::wstring command = L"\"" + result.folder + L"\\" + options.exeName + L"\"";
  for (const std::wstring& arg : options.args) command += L" " + arg;
  if (options.frames) command += L" --frames frames.csv";

  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const std::wstring outPath = result.folder + L"\\stdout.txt";
  const std::wstring errPath = result.folder + L"\\stderr.txt";
  HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  try {
    process = StartGame(command, result.folder, startup);
  } catch (...) {
    CloseHandle(out);
    CloseHandle(err);
    throw;
  }
  CloseHandle(out);
  CloseHandle(err);
  if (WaitForSingleObject(process.hProcess, 240000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 5000);
  }
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  result.stdoutText = ReadFile(outPath);
  result.stderrText = ReadFile(errPath);
  result.log = ReadFile(result.folder + L"\\QuarrenVelt.Framolt.log");
  ParseLog(result);
  ParseSummary(result);
  if (options.frames) result.frames = ParseFrames(ReadFile(result.folder + L"\\frames.csv"));
  return result;
}

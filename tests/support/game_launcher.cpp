#include "game_launcher.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace launcher {
namespace {

HANDLE CreateOutput(const std::wstring& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS, 0,
                     nullptr);
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::wstring WindowsPath(const std::string& unixPath) {
  std::wstring path = L"Z:" + Widen(unixPath);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

std::wstring BuiltGameFolder(const std::wstring& build) { return WindowsPath(FRAMOLT_GAME_DIR) + L"\\" + build; }

void CopyGameFolder(const std::wstring& from, const std::wstring& to, const std::wstring& exeName) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) throw std::runtime_error("game folder missing: " + Narrow(from));
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring name = found.cFileName;
    const std::wstring target = name == L"QuarrenVelt.exe" ? exeName : name;
    if (!CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + target).c_str(), FALSE)) {
      const DWORD error = GetLastError();
      FindClose(find);
      throw std::runtime_error("could not copy " + Narrow(name) + ": error " + std::to_string(error));
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& folder,
                         const std::wstring& outputFolder, DWORD timeoutMs) {
  ProcessResult result;
  // Unique names: several runs may share an output folder.
  static LONG serial = 0;
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(InterlockedIncrement(&serial));
  const std::wstring outPath = outputFolder + L"\\stdout-" + tag + L".txt";
  const std::wstring errPath = outputFolder + L"\\stderr-" + tag + L".txt";
  HANDLE out = CreateOutput(outPath);
  HANDLE err = CreateOutput(errPath);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  const std::wstring command = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
  PROCESS_INFORMATION process{};
  DWORD error = 0;
  bool started = false;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    std::wstring mutableCommand = command;
    started = CreateProcessW(exe.c_str(), mutableCommand.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    if (!started) {
      error = GetLastError();
      Sleep(250);
    }
  }
  CloseHandle(out);
  CloseHandle(err);
  if (!started) throw std::runtime_error("could not start " + Narrow(command) + ": error " + std::to_string(error));
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, 5000);
  }
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  result.out = ReadTextFile(outPath);
  result.err = ReadTextFile(errPath);
  DeleteFileW(outPath.c_str());
  DeleteFileW(errPath.c_str());
  return result;
}

std::map<std::string, std::string> ParseSummary(const std::string& out) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : SplitLines(out)) {
    if (line.rfind("standin:", 0) != 0) continue;
    std::istringstream words(line.substr(8));
    std::string word;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  return fields;
}

size_t CsvTable::Column(const std::string& name) const {
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i] == name) return i;
  throw std::runtime_error("no CSV column " + name);
}

double CsvTable::Number(size_t row, const std::string& column) const {
  return std::strtod(Text(row, column).c_str(), nullptr);
}

CsvTable ParseCsv(const std::string& text) {
  CsvTable table;
  bool header = true;
  for (const std::string& line : SplitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> cells;
    std::istringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ',')) cells.push_back(cell);
    if (header) table.columns = std::move(cells);
    else table.rows.push_back(std::move(cells));
    header = false;
  }
  return table;
}

std::string ReadTextFile(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace launcher

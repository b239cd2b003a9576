#include "game_run.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qvtest {
namespace {

std::string ReadAll(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}

std::map<std::string, std::string> ParseSummary(const std::string& out) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : SplitLines(out)) {
    if (line.rfind("standin: ", 0) != 0) continue;
    std::istringstream words(line.substr(9));
    std::string word;
    while (words >> word) {
      size_t eq = word.find('=');
      if (eq != std::string::npos) fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  return fields;
}

}  // namespace

std::wstring BuiltGameDir(const std::wstring& build) { return std::wstring(QV_GAME_DIR) + L"/" + build; }

std::wstring BuiltExe(const std::wstring& build) { return BuiltGameDir(build) + L"/QuarrenVelt.exe"; }

GameRun RunGame(const std::wstring& exe, const std::wstring& args) {
  GameRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out_write;
  si.hStdError = err_write;
  PROCESS_INFORMATION pi{};
  std::wstring command = L"\"" + exe + L"\" " + args;
  BOOL started = CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (started) {
    std::thread err_reader([&] { run.err = ReadAll(err_read); });
    run.out = ReadAll(out_read);
    err_reader.join();
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 0xDEAD);
    GetExitCodeProcess(pi.hProcess, &run.exit_code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  } else {
    run.err = "CreateProcessW failed: error " + std::to_string(GetLastError());
  }
  CloseHandle(out_read);
  CloseHandle(err_read);
  run.summary = ParseSummary(run.out);
  return run;
}

std::wstring MakeGameCopy(const std::wstring& build, bool with_probe) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  static int serial = 0;
  // Process ids come back quickly under Wine, so the tick count keeps a name from an earlier run apart.
  std::wstring dir;
  do {
    dir = std::wstring(temp) + L"qv-standin-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++serial);
  } while (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
  auto copy = [](const std::wstring& from, const std::wstring& to) {
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
      throw std::runtime_error("could not copy to " + std::string(to.begin(), to.end()) + ": error " +
                               std::to_string(GetLastError()));
  };
  for (const wchar_t* name : {L"QuarrenVelt.exe", L"SDL2.dll", L"Newton.dll", L"QuarrenVeltWorld.dll"})
    copy(BuiltGameDir(build) + L"/" + name, dir + L"\\" + name);
  if (with_probe) copy(QV_PROBE_DLL, dir + L"\\QuarrenVelt.Framolt.dll");
  return dir;
}

std::string ReadTextFile(const std::wstring& path) {
  std::ifstream f(path.c_str(), std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
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

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells;
  std::istringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  return cells;
}

}  // namespace qvtest

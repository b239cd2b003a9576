#include "game_run.h"

#include <sstream>
#include <stdexcept>

#include "support/game_launcher.h"

namespace qvtest {

std::wstring BuiltGameDir(const std::wstring& build) { return launcher::BuiltGameFolder(build); }

std::wstring BuiltExe(const std::wstring& build) { return BuiltGameDir(build) + L"\\QuarrenVelt.exe"; }

GameRun RunGame(const std::wstring& exe, const std::wstring& args) {
  GameRun run;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring outputs = temp;
  if (!outputs.empty() && outputs.back() == L'\\') outputs.pop_back();
  try {
    const launcher::ProcessResult result = launcher::RunProcess(exe, args, L"", outputs, 60000);
    run.exit_code = result.exitCode;
    run.out = result.out;
    run.err = result.err;
  } catch (const std::exception& e) {
    run.err = e.what();
  }
  run.summary = launcher::ParseSummary(run.out);
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

std::string ReadTextFile(const std::wstring& path) { return launcher::ReadTextFile(path); }

std::vector<std::string> SplitLines(const std::string& text) { return launcher::SplitLines(text); }

std::vector<std::string> SplitCsv(const std::string& line) {
  std::vector<std::string> cells;
  std::istringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  return cells;
}

}  // namespace qvtest

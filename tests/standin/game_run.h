// Running the stand-in game from a test, and reading what it reports.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace qvtest {

struct GameRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
  std::map<std::string, std::string> summary;  // key=value pairs of the "standin:" line
};

std::wstring BuiltGameDir(const std::wstring& build);  // ...\game\GOG
std::wstring BuiltExe(const std::wstring& build);

// Runs exe with the arguments (60 s limit) and captures both streams.
GameRun RunGame(const std::wstring& exe, const std::wstring& args);

// A private copy of a game folder; with_probe puts the probe where the plug-in goes.
std::wstring MakeGameCopy(const std::wstring& build, bool with_probe);

std::string ReadTextFile(const std::wstring& path);
std::vector<std::string> SplitLines(const std::string& text);
std::vector<std::string> SplitCsv(const std::string& line);

}  // namespace qvtest

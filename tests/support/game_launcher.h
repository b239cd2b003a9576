#pragma once
// The one way tests start a program of this project (the stand-in game, the bootstrap's host
// program) and read back what it left: a real process, standard output and error written to
// files (never pipes: Wine's background services would inherit a pipe and hold it open), a time
// limit, and the stand-in game's summary line and CSV records parsed.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace launcher {

struct ProcessResult {
  DWORD exitCode = 0xFFFFFFFF;
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs exe with args (already quoted as needed) in folder, stdout and stderr captured through
// files in outputFolder. A start that fails under a busy Wine server is tried again; a run past
// timeoutMs is terminated. Throws when the program can't be started at all.
ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& folder,
                         const std::wstring& outputFolder, DWORD timeoutMs);

// A build-tree path (Unix) as Wine shows it (drive Z:).
std::wstring WindowsPath(const std::string& unixPath);
// The built, ready game folder of a build (GOG, Steam).
std::wstring BuiltGameFolder(const std::wstring& build);
// Copies every file of a game folder; the executable may be copied under another name.
void CopyGameFolder(const std::wstring& from, const std::wstring& to, const std::wstring& exeName = L"QuarrenVelt.exe");

// key=value pairs of the game's "standin:" summary line.
std::map<std::string, std::string> ParseSummary(const std::string& out);

// A CSV file with a header row; cells kept as text.
struct CsvTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
  size_t Column(const std::string& name) const;  // throws when missing
  const std::string& Text(size_t row, const std::string& column) const { return rows.at(row).at(Column(column)); }
  double Number(size_t row, const std::string& column) const;
};
CsvTable ParseCsv(const std::string& text);

std::string ReadTextFile(const std::wstring& path);
std::vector<std::string> SplitLines(const std::string& text);
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace launcher

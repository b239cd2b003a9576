#pragma once
// Runs the stand-in game as a player would: its own copy of a game folder, an INI beside the
// plug-in, the executable started as a separate process. What it leaves behind is read back.
#include <map>
#include <string>
#include <vector>

#include "support/game_launcher.h"

struct GameRunOptions {
  std::wstring build = L"GOG";
  std::wstring exeName = L"QuarrenVelt.exe";  // the name the executable is copied under
  std::string ini;                             // INI text; empty: no INI is written
  std::vector<std::wstring> args;
  bool frames = false;                         // ask for the per-frame records
  bool drawLog = false;                        // ask for the per-object draw records
  bool inputLog = false;                       // ask for the hand's reports and each step's read
};

struct FrameTable {
  std::vector<std::string> columns;
  std::vector<std::vector<double>> rows;
  size_t Column(const std::string& name) const;  // throws when missing
  double At(size_t row, const std::string& name) const { return rows.at(row).at(Column(name)); }
};

struct GameRunResult {
  unsigned long exitCode = 0;
  std::string stdoutText;
  std::string stderrText;
  std::string log;                             // the plug-in's log, UTF-8
  std::vector<std::string> logMessages;        // each line without its time and level prefix
  std::vector<std::string> logLevels;          // each line's level
  std::map<std::string, std::string> summary;  // the game's key=value summary line
  FrameTable frames;
  launcher::CsvTable drawLog;                  // present_s,frame,kind,id,x,y,z
  launcher::CsvTable inputLog;                 // kind,t_s,step,x,y,yaw,pitch
  std::wstring folder;                         // the game folder (Windows path), removed at exit

  // Number of log lines whose message is exactly text.
  int CountMessage(const std::string& text) const;
  int CountMessagePrefix(const std::string& prefix) const;
  bool HasMessage(const std::string& level, const std::string& text) const;
  // Messages in order, for whole-sequence checks.
  std::string Messages() const;
};

GameRunResult RunGame(const GameRunOptions& options);
std::string IniText(const std::map<std::string, std::map<std::string, std::string>>& sections);
std::string Narrow(const std::wstring& text);
// The interpolation report's counter lines, "Label: a/b=1/2, c=3." (or "Label: a, b/c=1, 2/3."),
// summed over the run by "Label|name".
std::map<std::string, double> ReportCounters(const GameRunResult& run);

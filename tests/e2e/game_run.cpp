#include "game_run.h"

#include "support/game_launcher.h"
#include "support/temp_folder.h"

#include <windows.h>

#include <sstream>
#include <stdexcept>

namespace {

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

FrameTable ParseFrames(const std::string& csv) {
  const launcher::CsvTable table = launcher::ParseCsv(csv);
  FrameTable frames;
  frames.columns = table.columns;
  for (const std::vector<std::string>& cells : table.rows) {
    std::vector<double> row;
    for (const std::string& cell : cells) row.push_back(std::strtod(cell.c_str(), nullptr));
    frames.rows.push_back(std::move(row));
  }
  return frames;
}

}  // namespace

std::string Narrow(const std::wstring& text) { return launcher::Narrow(text); }

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
  launcher::CopyGameFolder(launcher::BuiltGameFolder(options.build), result.folder, options.exeName);
  if (!options.ini.empty()) WriteFileBytes(result.folder + L"\\QuarrenVelt.Framolt.ini", options.ini);

  std::wstring args;
  for (const std::wstring& arg : options.args) args += (args.empty() ? L"" : L" ") + arg;
  if (options.frames) args += L" --frames frames.csv";
  if (options.drawLog) args += L" --draw-log draw.csv";
  if (options.inputLog) args += L" --input-log input.csv";

  const launcher::ProcessResult run =
      launcher::RunProcess(result.folder + L"\\" + options.exeName, args, result.folder, result.folder, 240000);
  result.exitCode = run.exitCode;
  result.stdoutText = run.out;
  result.stderrText = run.err;
  result.log = launcher::ReadTextFile(result.folder + L"\\QuarrenVelt.Framolt.log");
  ParseLog(result);
  result.summary = launcher::ParseSummary(result.stdoutText);
  if (options.frames) result.frames = ParseFrames(launcher::ReadTextFile(result.folder + L"\\frames.csv"));
  if (options.drawLog) result.drawLog = launcher::ParseCsv(launcher::ReadTextFile(result.folder + L"\\draw.csv"));
  if (options.inputLog) result.inputLog = launcher::ParseCsv(launcher::ReadTextFile(result.folder + L"\\input.csv"));
  return result;
}

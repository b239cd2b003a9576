#include "game_run.h"

#include "support/game_launcher.h"
#include "support/temp_folder.h"

#include <windows.h>

#include <cstdlib>
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

std::map<std::string, double> ReportCounters(const GameRunResult& run) {
  std::map<std::string, double> sums;
  auto split = [](const std::string& text, const std::string& by) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(by, start)) != std::string::npos; start = at + by.size())
      parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
  };
  auto flatten = [&](const std::string& group) {
    std::vector<std::string> out;
    for (const std::string& part : split(group, ", "))
      for (const std::string& item : split(part, "/")) out.push_back(item);
    return out;
  };
  for (const std::string& message : run.logMessages) {
    const size_t colon = message.find(": ");
    if (colon == std::string::npos || message.find('=') == std::string::npos) continue;
    const std::string label = message.substr(0, colon);
    std::string rest = message.substr(colon + 2);
    rest = rest.substr(0, rest.find("; "));
    if (!rest.empty() && rest.back() == '.') rest.pop_back();
    const std::vector<std::string> segments = split(rest, "=");
    for (size_t i = 0; i + 1 < segments.size(); ++i) {
      // A middle segment holds the previous group's values, then this group's names.
      std::string names = segments[i];
      if (i > 0) names = names.substr(names.find(", ") == std::string::npos ? names.size() : names.find(", ") + 2);
      std::string values = segments[i + 1];
      if (i + 2 < segments.size()) values = values.substr(0, values.find(", "));
      const std::vector<std::string> n = flatten(names), v = flatten(values);
      if (n.size() != v.size()) continue;
      for (size_t k = 0; k < n.size(); ++k) sums[label + "|" + n[k]] += std::strtod(v[k].c_str(), nullptr);
    }
  }
  return sums;
}

#pragma once
#include <cstdint>
#include <string>
#include <vector>

// "48 8B C4" -> bytes: tables of machine code read best in the form they are quoted.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

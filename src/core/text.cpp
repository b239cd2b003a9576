#include "core/text.h"

#include <cstdarg>
#include <cwchar>

std::wstring FormatHex(uint64_t value) {
  wchar_t buffer[32];
  std::swprintf(buffer, 32, L"0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

std::wstring FormatUnsigned(uint64_t value) {
  wchar_t buffer[32];
  std::swprintf(buffer, 32, L"%llu", static_cast<unsigned long long>(value));
  return buffer;
}

std::wstring FormatSigned(int64_t value) {
  wchar_t buffer[32];
  std::swprintf(buffer, 32, L"%lld", static_cast<long long>(value));
  return buffer;
}

std::wstring WidenAscii(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

std::wstring FormatBounded(size_t capacity, const wchar_t* format, ...) {
  std::wstring out(capacity, L'\0');
  va_list args;
  va_start(args, format);
  int written = std::vswprintf(out.data(), capacity, format, args);
  va_end(args);
  // vswprintf reports overflow as an error; keep what fits, as a truncating C call would.
  size_t length = written >= 0 ? static_cast<size_t>(written) : std::wcslen(out.c_str());
  if (length >= capacity) length = capacity > 0 ? capacity - 1 : 0;
  out.resize(length);
  return out;
}

static bool IsWhite(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }

std::wstring_view TrimWhite(std::wstring_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsWhite(text[begin])) ++begin;
  while (end > begin && IsWhite(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

static wchar_t LowerAsciiChar(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }
static char LowerAsciiChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::wstring LowerAscii(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = LowerAsciiChar(c);
  return out;
}

bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  return true;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  return true;
}

static size_t LastSeparator(std::wstring_view path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash;
}

std::wstring ReplaceExtension(std::wstring_view path, std::wstring_view extension) {
  size_t separator = LastSeparator(path);
  size_t dot = path.find_last_of(L'.');
  std::wstring out;
  if (dot != std::wstring_view::npos && (separator == std::wstring_view::npos || dot > separator))
    out.assign(path.substr(0, dot));
  else
    out.assign(path);
  out.append(extension);
  return out;
}

std::wstring_view FileNamePart(std::wstring_view path) {
  size_t separator = LastSeparator(path);
  return separator == std::wstring_view::npos ? path : path.substr(separator + 1);
}

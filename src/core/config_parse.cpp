#include "core/config_parse.h"

#include <cerrno>
#include <cwchar>

#include "core/text.h"

bool ParseConfigBoolWord(std::wstring_view raw, bool& value) {
  const std::wstring word = LowerAscii(TrimWhite(raw));
  if (word == L"1" || word == L"true" || word == L"yes" || word == L"on") {
    value = true;
    return true;
  }
  if (word == L"0" || word == L"false" || word == L"no" || word == L"off") {
    value = false;
    return true;
  }
  return false;
}

std::wstring InvalidBooleanMessage(const wchar_t* section, const wchar_t* key, std::wstring_view raw) {
  return std::wstring(L"Invalid boolean value for [") + section + L"] " + key + L": " + std::wstring(raw);
}

std::wstring ValueTooLongMessage(const wchar_t* section, const wchar_t* key, std::wstring_view cut) {
  return std::wstring(L"Value too long for [") + section + L"] " + key + L" (over " +
         FormatUnsigned(kConfigReadBufferChars - 1) + L" characters): " + std::wstring(cut) + L"...";
}

bool ParseConfigUnsigned(std::wstring_view raw, const wchar_t* section, const wchar_t* key, uint32_t minimum,
                         uint32_t maximum, uint32_t& value, std::wstring& message) {
  const std::wstring text = LowerAscii(TrimWhite(raw));
  if (text.empty() || text[0] == L'-') {
    message = std::wstring(L"Invalid unsigned value for [") + section + L"] " + key + L": " + std::wstring(raw);
    return false;
  }
  errno = 0;
  wchar_t* end = nullptr;
  const unsigned long parsed = std::wcstoul(text.c_str(), &end, 10);
  const bool consumed = end != nullptr && end != text.c_str();
  // The whole text, not up to an embedded NUL: "5\0x" is not 5.
  const bool atEnd = end == text.c_str() + text.size();
  if (errno != ERANGE && consumed && atEnd && parsed >= minimum && parsed <= maximum) {
    value = static_cast<uint32_t>(parsed);
    return true;
  }
  message = std::wstring(L"Out-of-range value for [") + section + L"] " + key + L" (expected " +
            FormatUnsigned(minimum) + L".." + FormatUnsigned(maximum) + L"): " + std::wstring(raw);
  return false;
}

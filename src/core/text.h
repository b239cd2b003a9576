#pragma once
// Text helpers shared by the log, the configuration and the host checks. No Windows headers.
#include <cstdint>
#include <string>
#include <string_view>

std::wstring FormatHex(uint64_t value);         // "0x%llX"
std::wstring FormatUnsigned(uint64_t value);     // plain decimal digits
std::wstring FormatSigned(int64_t value);        // leading '-' when negative
std::wstring WidenAscii(std::string_view text);
// printf-style formatting into a fixed-size buffer (truncates like the C call).
std::wstring FormatBounded(size_t capacity, const wchar_t* format, ...);

std::wstring_view TrimWhite(std::wstring_view text);
std::wstring LowerAscii(std::wstring_view text);
bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b);
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

// Replaces the extension after the last separator ('\' or '/'), or appends it when there is none.
std::wstring ReplaceExtension(std::wstring_view path, std::wstring_view extension);
// The part after the last '\' or '/'.
std::wstring_view FileNamePart(std::wstring_view path);

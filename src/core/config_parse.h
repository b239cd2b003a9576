#pragma once
// Parsing of configuration values, kept free of Windows so it can be tested natively.
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr wchar_t kConfigMissingSentinel[] = L"{041E230A-AC97-42AF-MISSING}";
// Characters the profile-string call may write, terminator included.
inline constexpr size_t kConfigReadBufferChars = 128;

// "1/true/yes/on" and "0/false/no/off" after trimming and lower-casing. False when no word matches.
bool ParseConfigBoolWord(std::wstring_view raw, bool& value);
// Decimal within [minimum, maximum]; on failure message names section and key and quotes raw.
bool ParseConfigUnsigned(std::wstring_view raw, const wchar_t* section, const wchar_t* key, uint32_t minimum,
                         uint32_t maximum, uint32_t& value, std::wstring& message);
std::wstring InvalidBooleanMessage(const wchar_t* section, const wchar_t* key, std::wstring_view raw);
// For a value that did not fit the read buffer; cut holds what was read.
std::wstring ValueTooLongMessage(const wchar_t* section, const wchar_t* key, std::wstring_view cut);

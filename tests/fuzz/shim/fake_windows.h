#pragma once
// What the stand-in Windows calls answer; each fuzz target sets the parts it drives.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fake_windows {

// The INI text GetPrivateProfileStringW reads, whatever path it is given. Lines end at '\n'
// ('\r' before it dropped); "[name]" opens a section; "key=value" with white space around the
// key and value trimmed; names compare without ASCII case; the first match wins.
void SetIni(std::wstring text);
// The whole value of a key as the call would give it with an unlimited buffer; present false
// when the key is not there.
bool FullIniValue(std::wstring_view section, std::wstring_view key, std::wstring& value);
// What GetFileAttributesW reports for any path.
void SetFileExists(bool exists);
// The path GetModuleFileNameW returns for any module (cut to the buffer, as Windows does).
void SetModulePath(std::wstring path);
// Memory the guarded host-memory helpers treat as the only readable and writable range.
void SetHostRegion(const void* base, size_t size);

}  // namespace fake_windows

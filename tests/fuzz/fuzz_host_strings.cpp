// Host paths and names: the executable path read through a growing buffer, its file-name check,
// and the text helpers every name comparison goes through, against plain models.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/module_path.h"
#include "core/text.h"
#include "host/host_validation.h"
#include "shim/fake_windows.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "host string check failed: %s\n", what);
  std::abort();
}

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::wstring unit;
  for (size_t i = 1; i + 1 < size; i += 2) unit.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  if (size % 2 == 0) unit.push_back(static_cast<wchar_t>(data[size - 1]));
  // A first byte from 0xF0 repeats the rest up to a length around the 32768-character limit.
  std::wstring path = unit;
  if (data[0] >= 0xF0 && !unit.empty()) {
    const size_t length = 32760 + static_cast<size_t>(data[0] - 0xF0);
    while (path.size() < length) path += unit;
    path.resize(length);
  }
  fake_windows::SetModulePath(path);

  // A path is read whole when it fits 32767 characters and the terminator; never cut.
  const std::wstring read = ModuleFilePath(reinterpret_cast<HMODULE>(&path));
  if (path.size() < 32768 && !path.empty()) {
    if (read != path) Fail("path read differs from the path");
  } else if (!read.empty()) {
    Fail("path longer than the buffer accepted");
  }

  const size_t cut = path.find_last_of(L"\\/");
  const std::wstring_view name = cut == std::wstring::npos ? std::wstring_view(path)
                                                           : std::wstring_view(path).substr(cut + 1);
  if (FileNamePart(path) != name) Fail("file name part");
  if (EqualsIgnoreAsciiCase(name, std::wstring_view(L"QuarrenVelt.exe")) != SameIgnoringCase(name, L"QuarrenVelt.exe"))
    Fail("name comparison");

  // The host check names the whole path when the name is wrong, and reads no header before.
  fake_windows::SetHostRegion(nullptr, 0);
  const HostValidation v = ValidateHost(reinterpret_cast<HMODULE>(&path));
  if (v.ok) Fail("no header can be valid here");
  if (!read.empty() && !SameIgnoringCase(name, L"QuarrenVelt.exe") &&
      v.reason != L"Host executable name is not QuarrenVelt.exe: " + path)
    Fail("name refusal");
  if (read.empty() && v.reason != L"Could not resolve the host executable path.") Fail("unresolved path");

  const std::wstring_view trimmed = TrimWhite(unit);
  if (!trimmed.empty() && (trimmed.front() == L' ' || trimmed.back() == L'\t')) Fail("trim left white space");
  const std::wstring lowered = LowerAscii(unit);
  if (lowered.size() != unit.size() || !SameIgnoringCase(lowered, unit)) Fail("lower-casing");
  const std::wstring replaced = ReplaceExtension(unit, L".ini");
  if (replaced.size() < 4 || replaced.compare(replaced.size() - 4, 4, L".ini") != 0) Fail("extension");
  return 0;
}

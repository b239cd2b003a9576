#pragma once
// A fresh folder under the temporary directory, removed with everything in it when the test ends.
#include <windows.h>

#include <string>

class TempFolder {
 public:
  explicit TempFolder(const wchar_t* tag);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& path() const { return path_; }
  // path() + '\' + name
  std::wstring file(const std::wstring& name) const;

 private:
  std::wstring path_;
};

// Writes bytes as they are (no conversion, no byte-order mark).
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
// The whole file, or an empty string when it can't be read. Opens with full sharing, so a log
// file that is still open for appending can be read.
std::string ReadFileBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// UTF-16 to UTF-8 and back, for comparing log files with wide expectations.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

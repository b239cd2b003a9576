// A minimal host for the plug-in: it loads QuarrenVelt.Framolt.dll from its own folder, waits for
// the plug-in's bootstrap thread and exits with that thread's exit code (also printed). It is
// built as QuarrenVelt.exe but carries none of the game's code, so no supported build matches it.
//
// Exit codes of its own, above the bootstrap's range: 100 no bootstrap thread seen, 101 the plug-in
// did not load, 102 the thread did not end within 20 s, 103 a bad argument.
//
// An optional argument breaks one field of this program's own mapped headers (dos-signature,
// nt-offset-zero, nt-offset-huge, nt-signature, machine-i386, magic-pe32, image-size-below-headers,
// image-size-huge) so that the plug-in's host validation sees a damaged host. The loader needs the
// headers intact until the bootstrap thread starts, so they are broken on that thread just before
// it runs, and put back before this program ends.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

std::atomic<bool> g_capturing{false};
HANDLE g_bootstrapThread = nullptr;
HANDLE g_captured = nullptr;
const wchar_t* g_damage = nullptr;
uint8_t g_savedHeaders[0x1000];
bool g_headersBroken = false;

bool BreakHeaders(const wchar_t* what);

// Runs on every new thread before the thread's own procedure. This program starts no thread of its
// own, so the first one to start once the plug-in is being loaded is the plug-in's bootstrap
// thread. It can only get here after LoadLibraryW has released the loader lock, and it takes a
// handle to itself before doing any work, so its exit code stays readable however quickly it ends.
void NTAPI OnThreadAttach(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_ATTACH || !g_capturing.exchange(false)) return;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &g_bootstrapThread,
                  SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0);
  if (g_damage != nullptr) g_headersBroken = BreakHeaders(g_damage);
  SetEvent(g_captured);
}

bool IsKnownDamage(const std::wstring& w) {
  for (const wchar_t* known : {L"dos-signature", L"nt-offset-zero", L"nt-offset-huge", L"nt-signature", L"machine-i386",
                               L"magic-pe32", L"image-size-below-headers", L"image-size-huge"})
    if (w == known) return true;
  return false;
}

bool BreakHeaders(const wchar_t* what) {
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  std::memcpy(g_savedHeaders, base, sizeof(g_savedHeaders));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  DWORD old = 0;
  if (!VirtualProtect(base, 0x1000, PAGE_READWRITE, &old)) return false;
  const std::wstring w = what;
  if (w == L"dos-signature") dos->e_magic = 0x4D5A;
  else if (w == L"nt-offset-zero") dos->e_lfanew = 0;
  else if (w == L"nt-offset-huge") dos->e_lfanew = 0x100001;
  else if (w == L"nt-signature") nt->Signature = 0x00004551;
  else if (w == L"machine-i386") nt->FileHeader.Machine = IMAGE_FILE_MACHINE_I386;
  else if (w == L"magic-pe32") nt->OptionalHeader.Magic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
  else if (w == L"image-size-below-headers") nt->OptionalHeader.SizeOfImage = nt->OptionalHeader.SizeOfHeaders - 1;
  else if (w == L"image-size-huge") nt->OptionalHeader.SizeOfImage = 0x80001000u;
  else return false;
  return true;
}

}  // namespace

// The TLS callback table entry; the C runtime's TLS directory picks up everything in .CRT$XL*.
extern "C" __attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK g_hostThreadAttach = OnThreadAttach;

int wmain(int argc, wchar_t** argv) {
  if (argc > 2 || (argc == 2 && !IsKnownDamage(argv[1]))) return 103;
  if (argc == 2) g_damage = argv[1];

  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  std::wstring folder(path, length);
  folder.resize(folder.find_last_of(L"\\/") + 1);

  g_captured = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_capturing.store(true);
  HMODULE plugin = LoadLibraryW((folder + L"QuarrenVelt.Framolt.dll").c_str());
  if (plugin == nullptr) return 101;
  if (WaitForSingleObject(g_captured, 20000) != WAIT_OBJECT_0 || g_bootstrapThread == nullptr) return 100;
  if (WaitForSingleObject(g_bootstrapThread, 20000) != WAIT_OBJECT_0) return 102;
  DWORD code = 0;
  GetExitCodeThread(g_bootstrapThread, &code);
  if (g_headersBroken) std::memcpy(GetModuleHandleW(nullptr), g_savedHeaders, sizeof(g_savedHeaders));
  std::printf("bootstrap exit code %lu\n", static_cast<unsigned long>(code));
  std::fflush(stdout);
  return static_cast<int>(code);
}

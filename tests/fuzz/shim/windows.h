#pragma once
// Just enough of <windows.h> to build the plug-in's parsers natively for fuzzing. The calls are
// stand-ins (fake_windows.cpp) whose inputs each fuzz target sets; the PE structures are laid out
// exactly as Windows lays them out.
#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONGLONG = uint64_t;
using LONG64 = int64_t;
using BOOL = int;
using SIZE_T = size_t;
using HANDLE = void*;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;

#define TRUE 1
#define FALSE 0
#define WINAPI
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))
#define PAGE_READWRITE 0x04
#define IMAGE_DIRECTORY_ENTRY_IMPORT 1
#define IMAGE_ORDINAL_FLAG64 0x8000000000000000ull

struct IMAGE_DOS_HEADER {
  WORD e_magic;
  WORD e_rest[29];
  LONG e_lfanew;
};

struct IMAGE_FILE_HEADER {
  WORD Machine;
  WORD NumberOfSections;
  DWORD TimeDateStamp;
  DWORD PointerToSymbolTable;
  DWORD NumberOfSymbols;
  WORD SizeOfOptionalHeader;
  WORD Characteristics;
};

struct IMAGE_DATA_DIRECTORY {
  DWORD VirtualAddress;
  DWORD Size;
};

struct IMAGE_OPTIONAL_HEADER64 {
  WORD Magic;
  BYTE MajorLinkerVersion;
  BYTE MinorLinkerVersion;
  DWORD SizeOfCode;
  DWORD SizeOfInitializedData;
  DWORD SizeOfUninitializedData;
  DWORD AddressOfEntryPoint;
  DWORD BaseOfCode;
  ULONGLONG ImageBase;
  DWORD SectionAlignment;
  DWORD FileAlignment;
  WORD MajorOperatingSystemVersion;
  WORD MinorOperatingSystemVersion;
  WORD MajorImageVersion;
  WORD MinorImageVersion;
  WORD MajorSubsystemVersion;
  WORD MinorSubsystemVersion;
  DWORD Win32VersionValue;
  DWORD SizeOfImage;
  DWORD SizeOfHeaders;
  DWORD CheckSum;
  WORD Subsystem;
  WORD DllCharacteristics;
  ULONGLONG SizeOfStackReserve;
  ULONGLONG SizeOfStackCommit;
  ULONGLONG SizeOfHeapReserve;
  ULONGLONG SizeOfHeapCommit;
  DWORD LoaderFlags;
  DWORD NumberOfRvaAndSizes;
  IMAGE_DATA_DIRECTORY DataDirectory[16];
};

struct IMAGE_NT_HEADERS64 {
  DWORD Signature;
  IMAGE_FILE_HEADER FileHeader;
  IMAGE_OPTIONAL_HEADER64 OptionalHeader;
};

struct IMAGE_IMPORT_DESCRIPTOR {
  DWORD OriginalFirstThunk;
  DWORD TimeDateStamp;
  DWORD ForwarderChain;
  DWORD Name;
  DWORD FirstThunk;
};

static_assert(sizeof(IMAGE_DOS_HEADER) == 64);
static_assert(sizeof(IMAGE_NT_HEADERS64) == 264);
static_assert(sizeof(IMAGE_IMPORT_DESCRIPTOR) == 20);

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR out, DWORD size, LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR out, DWORD size);
BOOL VirtualProtect(void* address, SIZE_T size, DWORD protection, DWORD* old);
BOOL FlushInstructionCache(HANDLE process, const void* address, SIZE_T size);
HANDLE GetCurrentProcess();
DWORD GetLastError();

inline LONG64 InterlockedCompareExchange64(volatile LONG64* target, LONG64 exchange, LONG64 comparand) {
  LONG64 expected = comparand;
  __atomic_compare_exchange_n(target, &expected, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}

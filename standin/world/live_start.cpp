#include "live_start.h"

#include <cstring>
#include <vector>

#include "host_image.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

constexpr DWORD kHoldTimeoutMs = 10000;
constexpr uint8_t kInt3 = 0xCC;

// The same instruction in another encoding: the game runs it as before, while a reader of the
// entry bytes sees a build it does not know. Where none is listed, int3 (the game must not run
// that site while it is broken).
struct Reencoding {
  size_t offset;
  uint8_t from;
  uint8_t to;
  uint8_t next;      // the byte after it, to be sure of the instruction
  uint8_t next_mask;
};
const Reencoding kReencodings[] = {
    {0, 0x40, 0x48, 0x50, 0xF8},  // push r64: REX.W changes nothing
    {0, 0x48, 0x4C, 0x83, 0xFF},  // sub rsp, imm8 (83 /5): REX.R is ignored for an opcode extension
    {2, 0x4C, 0x4E, 0x8D, 0xFF},  // lea r8, [rcx+disp8] has no SIB byte: REX.X is ignored
    {8, 0x41, 0x49, 0x54, 0xFF},  // push r12: REX.W changes nothing
};

struct BrokenByte {
  uint8_t* at;
  uint8_t original;
  uint8_t written;
};
struct ProtectedPage {
  uint8_t* at;
  DWORD original;
};

struct PresentImport {
  uint64_t* slot = nullptr;
  char* name = nullptr;  // the hint/name entry's name, which the loader no longer reads
};

struct LiveState {
  HANDLE hold = nullptr;
  bool damage_due = false;
  HANDLE bootstrap = nullptr;
  PresentImport present;
  std::vector<BrokenByte> broken;
  std::vector<ProtectedPage> protected_pages;
  SiteTampering before_load;
  LiveStartResult result;
};
LiveState g_live;

bool ChangeByte(uint8_t* at, uint8_t expected, uint8_t value, DWORD protection) {
  DWORD old = 0;
  if (!VirtualProtect(at, 1, protection, &old)) return false;
  // A hook written meanwhile wins: only our own expectation is replaced.
  const bool changed = __sync_bool_compare_and_swap(at, expected, value);
  DWORD ignored = 0;
  VirtualProtect(at, 1, old, &ignored);
  FlushInstructionCache(GetCurrentProcess(), at, 1);
  return changed;
}

PresentImport FindPresentImport(uint8_t* base) {
  PresentImport found;
  uint32_t nt = 0, rva = 0;
  std::memcpy(&nt, base + 0x3C, 4);
  std::memcpy(&rva, base + nt + 24 + 112 + 8, 4);  // PE32+ optional header, data directory 1
  for (uint8_t* d = base + rva; rva != 0; d += 20) {
    uint32_t lookup = 0, name = 0, thunks = 0;
    std::memcpy(&lookup, d, 4);
    std::memcpy(&name, d + 12, 4);
    std::memcpy(&thunks, d + 16, 4);
    if (name == 0 && thunks == 0) break;
    if (_stricmp(reinterpret_cast<char*>(base + name), "SDL2.dll") != 0 || lookup == 0) continue;
    for (size_t i = 0;; ++i) {
      uint64_t entry = 0;
      std::memcpy(&entry, base + lookup + 8 * i, 8);
      if (entry == 0) break;
      if (entry >> 63) continue;
      char* function = reinterpret_cast<char*>(base + entry + 2);
      if (std::strcmp(function, "SDL_GL_SwapWindow") != 0) continue;
      found.slot = reinterpret_cast<uint64_t*>(base + thunks + 8 * i);
      found.name = function;
      return found;
    }
  }
  return found;
}

bool Readable(const void* p, size_t n) {
  MEMORY_BASIC_INFORMATION mbi;
  if (VirtualQuery(p, &mbi, sizeof mbi) != sizeof mbi || mbi.State != MEM_COMMIT) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (mbi.Protect & readable) != 0 && (mbi.Protect & PAGE_GUARD) == 0 &&
         static_cast<const uint8_t*>(p) + n <= static_cast<const uint8_t*>(mbi.BaseAddress) + mbi.RegionSize;
}

void BreakSite(int site) {
  World& w = TheWorld();
  if (site == kPresentImportSite) {
    char* name = g_live.present.name;
    if (name == nullptr) return;
    // The loader has resolved the slot already: only a reader of the names notices.
    uint8_t* last = reinterpret_cast<uint8_t*>(name + std::strlen(name) - 1);
    const uint8_t original = *last;
    const uint8_t written = static_cast<uint8_t>(original ^ 0x01);
    if (ChangeByte(last, original, written, PAGE_READWRITE)) g_live.broken.push_back({last, original, written});
    return;
  }
  uint8_t* at = SiteAddress(site);
  const uint8_t* shipped = w.build->site_bytes[site];
  Reencoding use{0, shipped[0], kInt3, 0, 0};
  for (const Reencoding& r : kReencodings)
    if (shipped[r.offset] == r.from && (shipped[r.offset + 1] & r.next_mask) == r.next) {
      use = r;
      break;
    }
  if (ChangeByte(at + use.offset, use.from, use.to, PAGE_EXECUTE_READWRITE))
    g_live.broken.push_back({at + use.offset, use.from, use.to});
}

void ApplyTimedDamage() {
  const Options& o = TheWorld().options;
  for (int site : o.timed_break_sites) BreakSite(site);
  for (const SiteProtection& p : o.timed_protections) {
    uint8_t* at = SiteAddress(p.site);
    DWORD old = 0;
    if (VirtualProtect(at, 1, p.protection, &old)) g_live.protected_pages.push_back({at, old});
  }
}

void UndoDamage() {
  for (auto it = g_live.protected_pages.rbegin(); it != g_live.protected_pages.rend(); ++it) {
    DWORD ignored = 0;
    VirtualProtect(it->at, 1, it->original, &ignored);
  }
  g_live.protected_pages.clear();
  for (const BrokenByte& b : g_live.broken) ChangeByte(b.at, b.written, b.original, PAGE_EXECUTE_READWRITE);
  g_live.broken.clear();
  UndoSiteTampering(&g_live.before_load);
}

void Settle(uint64_t frames) {
  LiveStartResult& r = g_live.result;
  r.finished = GetExitCodeThread(g_live.bootstrap, &r.exit_code) != 0;
  if (!r.finished) r.problem = L"the plug-in's bootstrap exit code could not be read";
  r.frames_before_exit = frames;
  CloseHandle(g_live.bootstrap);
  g_live.bootstrap = nullptr;
  UndoDamage();
  if (r.finished && r.exit_code != 0) r.shipped = HostCodeAsShipped(&r.changed) ? 1 : 0;
}

}  // namespace

bool PrepareLiveStart(std::wstring* error) {
  World& w = TheWorld();
  g_live.present = FindPresentImport(w.base);
  if (g_live.present.slot == nullptr) {
    *error = L"SDL_GL_SwapWindow is not imported by the executable";
    return false;
  }
  if (w.options.timed_break_sites.empty() && w.options.timed_protections.empty()) return true;
  g_live.hold = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_live.damage_due = g_live.hold != nullptr;
  if (!g_live.hold) *error = L"could not create the start-up hold event";
  return g_live.hold != nullptr;
}

void HoldBootstrapUntilDamage() {
  if (g_live.hold) WaitForSingleObject(g_live.hold, kHoldTimeoutMs);
}

void TrackBootstrap(HANDLE bootstrap, SiteTampering* before_load) {
  g_live.bootstrap = bootstrap;
  g_live.before_load = *before_load;
  *before_load = SiteTampering{};
}

void LiveFrame(uint64_t frames) {
  if (g_live.damage_due && frames >= TheWorld().options.timed_damage_frame) {
    ApplyTimedDamage();
    g_live.damage_due = false;
    SetEvent(g_live.hold);
  }
  World& w = TheWorld();
  if (w.options.sample_memory && g_live.result.private_kib_warm < 0 && w.steps * 10 >= w.options.ticks)
    g_live.result.private_kib_warm = PrivateKib();
  // A wait on a handle is a trip to the system: every 8th frame is soon enough.
  if (g_live.bootstrap && (frames & 7) == 0 && WaitForSingleObject(g_live.bootstrap, 0) == WAIT_OBJECT_0)
    Settle(frames);
}

void FinishLiveStart(DWORD timeout_ms) {
  if (g_live.damage_due) {
    ApplyTimedDamage();
    g_live.damage_due = false;
    SetEvent(g_live.hold);
  }
  if (!g_live.bootstrap) {
    UndoDamage();
    return;
  }
  if (WaitForSingleObject(g_live.bootstrap, timeout_ms) == WAIT_OBJECT_0) {
    Settle(TheWorld().frames.count);
    return;
  }
  g_live.result.problem = L"the plug-in's start-up did not finish within " + std::to_wstring(timeout_ms / 1000) + L" s";
  UndoDamage();
}

const LiveStartResult& LiveStart() { return g_live.result; }

int64_t PrivateKib() {
  // Committed private regions, summed: what Windows calls private bytes (Wine reports no figure).
  uint64_t bytes = 0;
  MEMORY_BASIC_INFORMATION mbi;
  for (const uint8_t* p = nullptr; VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi;
       p = static_cast<const uint8_t*>(mbi.BaseAddress) + mbi.RegionSize) {
    if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) bytes += mbi.RegionSize;
    if (static_cast<const uint8_t*>(mbi.BaseAddress) + mbi.RegionSize < p) break;
  }
  return static_cast<int64_t>(bytes / 1024);
}

bool HostCodeAsShipped(std::wstring* changed) {
  World& w = TheWorld();
  changed->clear();
  for (int site = 0; site < QV_SITE_COUNT; ++site) {
    const uint8_t* at = SiteAddress(site);
    const size_t n = w.build->site_length[site];
    if (!Readable(at, n) || std::memcmp(at, w.build->site_bytes[site], n) != 0)
      *changed += (changed->empty() ? L"site " : L" ") + std::to_wstring(site);
  }
  HMODULE sdl = GetModuleHandleW(L"SDL2.dll");
  const uint64_t swap = reinterpret_cast<uint64_t>(sdl ? GetProcAddress(sdl, "SDL_GL_SwapWindow") : nullptr);
  if (g_live.present.slot && *g_live.present.slot != swap)
    *changed += std::wstring(changed->empty() ? L"" : L", ") + L"the SDL_GL_SwapWindow import slot";
  return changed->empty();
}

}  // namespace qv

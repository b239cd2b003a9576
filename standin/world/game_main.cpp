// The game's start: globals the host functions read, the plug-in (as the game
// loads it), then cEngine::Run until the requested steps are done.
#include <cstdio>

#include "draw_log.h"
#include "input.h"
#include "host_image.h"
#include "layouts.h"
#include "live_start.h"
#include "plugin_loader.h"
#include "shadow.h"
#include "world.h"
#include "world_exports.h"

namespace qv {
namespace {

constexpr DWORD kBootstrapWaitMs = 20000;

enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitSetup = 2,
  kExitViolations = 3,
  kExitSiteCheck = 4,
  kExitFrames = 5,
  kExitHostCalls = 6,
  kExitHostCode = 7,
};

std::string Narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

void ErrorLine(const std::wstring& text) {
  std::fprintf(stderr, "standin: %s\n", Narrow(text).c_str());
  std::fflush(stderr);
}

std::wstring PluginPath() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  size_t slash = path.find_last_of(L"\\/");
  return path.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + L"QuarrenVelt.Framolt.dll";
}

void SetHostGlobals(World& w) {
  Store<uint64_t>(w.base, w.build->clock_start_rva, QvSchedulerClockRaw());
  HMODULE newton = GetModuleHandleW(L"Newton.dll");
  FARPROC user_data = newton ? GetProcAddress(newton, "NewtonBodyGetUserData") : nullptr;
  Store<void*>(w.base, w.build->newton_user_data_rva, reinterpret_cast<void*>(user_data));
}

}  // namespace

World& TheWorld() {
  static World world;
  return world;
}

uint8_t* SiteAddress(int site) { return TheWorld().base + TheWorld().build->site_rva[site]; }

int64_t QpcNow() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  return c.QuadPart;
}

double QpcSeconds(int64_t counts) {
  return static_cast<double>(counts) / static_cast<double>(TheWorld().qpc_frequency);
}

}  // namespace qv

using namespace qv;

extern "C" int QvGameMain(const QvHostBuild* build, const QvHostServices* services) {
  World& w = TheWorld();
  w.build = build;
  w.services = services;
  w.base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  w.qpc_frequency = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  w.qpc_start = QpcNow();

  std::wstring error;
  if (!ParseOptions(&w.options, &error)) {
    ErrorLine(error + L" (see --help)");
    return kExitUsage;
  }
  if (w.options.help) {
    PrintUsage();
    return kExitOk;
  }

  SetHostGlobals(w);
  ImageHeaders headers = ReadImageHeaders(w.base);
  bool exact = headers.timestamp == build->timestamp && headers.image_size == build->image_size;
  CreateEngineObjects();
  CreateCameras();
  ReserveFrameRows();
  CreateWorldObjects();

  if (w.options.live && !PrepareLiveStart(&error)) {
    ErrorLine(error);
    return kExitSetup;
  }
  SiteTampering tampering;
  if (!PatchImageHeaders(w.base, w.options.patches, &error) || !BreakAndProtectSites(w.options, &tampering, &error)) {
    UndoSiteTampering(&tampering);
    ErrorLine(error);
    return kExitSetup;
  }
  PluginLoad plugin;
  if (!w.options.no_plugin) {
    plugin = w.options.live ? LoadPluginLive(PluginPath(), &tampering) : LoadPluginAndWait(PluginPath(), kBootstrapWaitMs);
    if (!plugin.problem.empty()) ErrorLine(plugin.problem);
  }
  // The game itself has to run: broken bytes and page protections were only for the plug-in's start-up
  // (live, they last until it has ended).
  UndoSiteTampering(&tampering);

  RunEngineThroughSite();
  const LiveStartResult& live = LiveStart();
  if (w.options.live && plugin.loaded) {
    plugin.finished = live.finished;
    plugin.exit_code = live.exit_code;
    if (!live.problem.empty()) ErrorLine(live.problem);
  }
  // The plug-in may come between the game and these functions, but each call must reach them once.
  QvPresentRecord presents{};
  QvStandinPresentRecord(&presents);
  const uint64_t* calls = w.engine.site_calls;
  const bool host_calls_ok = calls[1] == 3 * w.steps && calls[2] == w.frames.count * kViewportCount &&
                             presents.count == w.frames.count;
  int sites_ok = w.options.call_sites ? CheckSites() : -1;
  bool frames_written = WriteFramesCsv(&error) && WriteDrawLog(&error) && WriteInputLog(&error);
  std::wstring input_failure;
  bool input_conserved = CheckInputConservation(&input_failure);

  double span = QpcSeconds(w.frames.last_present - w.frames.first_present);
  double fps = w.frames.count > 1 && span > 0 ? static_cast<double>(w.frames.count - 1) / span : 0.0;
  std::string bootstrap = plugin.finished ? std::to_string(plugin.exit_code) : "none";
  std::printf("standin: build=%s exact=%d bootstrap-exit=%s ticks=%llu steps=%llu frames=%llu fps=%.1f violations=%llu "
              "limit-byte=%u rows-dropped=%llu",
              Narrow(build->label).c_str(), exact ? 1 : 0, bootstrap.c_str(),
              static_cast<unsigned long long>(w.options.ticks), static_cast<unsigned long long>(w.steps),
              static_cast<unsigned long long>(w.frames.count), fps, static_cast<unsigned long long>(ShadowViolations()),
              Load<uint8_t>(w.engine.object, EngineLayout::kLimitFps), static_cast<unsigned long long>(w.frames.rows_dropped));
  std::printf(" newton-callback-threads=%ld draw-rows-dropped=%llu", w.callback_threads,
              static_cast<unsigned long long>(DrawLogRowsDropped()));
  if (sites_ok >= 0) std::printf(" sites-ok=%d", sites_ok);
  std::printf(" host-calls-ok=%d", host_calls_ok ? 1 : 0);
  if (w.options.sample_memory)
    std::printf(" private-kib-warm=%lld private-kib-end=%lld", static_cast<long long>(live.private_kib_warm),
                static_cast<long long>(PrivateKib()));
  if (w.options.live)
    std::printf(" frames-before-bootstrap-exit=%llu sites-shipped=%s",
                static_cast<unsigned long long>(live.frames_before_exit),
                live.shipped < 0 ? "-" : live.shipped ? "1" : "0");
  std::printf("%s\n", InputSummary().c_str());
  std::fflush(stdout);

  if (ShadowViolations()) {
    ErrorLine(std::to_wstring(ShadowViolations()) + L" violation(s); first " + FirstShadowViolation());
    return kExitViolations;
  }
  if (!input_conserved) {
    ErrorLine(input_failure);
    return kExitViolations;
  }
  if (!host_calls_ok) {
    ErrorLine(L"host functions were not called once per call: updater " + std::to_wstring(calls[1]) + L" for " +
              std::to_wstring(w.steps) + L" steps, render " + std::to_wstring(calls[2]) + L" and presents " +
              std::to_wstring(presents.count) + L" for " + std::to_wstring(w.frames.count) + L" frames");
    return kExitHostCalls;
  }
  if (live.shipped == 0) {
    ErrorLine(L"host code not as shipped after the plug-in's failed start-up: " + live.changed);
    return kExitHostCode;
  }
  if (sites_ok >= 0 && sites_ok != QV_SITE_COUNT) {
    ErrorLine(L"only " + std::to_wstring(sites_ok) + L" of 25 host functions behaved; failed: " + w.engine.failed_sites);
    return kExitSiteCheck;
  }
  if (!frames_written) {
    ErrorLine(error);
    return kExitFrames;
  }
  return kExitOk;
}

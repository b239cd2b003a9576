#include "options.h"

#include <shellapi.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cwchar>

namespace qv {
namespace {

bool ParseUnsigned(const std::wstring& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == L'-' || text[0] == L'+') return false;
  wchar_t* end = nullptr;
  errno = 0;
  unsigned long long v = std::wcstoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != L'\0' || v > max) return false;
  *out = v;
  return true;
}

bool ParseNumber(const std::wstring& text, double lo, double hi, double* out) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  double v = std::wcstod(text.c_str(), &end);
  if (*end != L'\0' || !std::isfinite(v) || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// "V@TICK"
template <class T>
bool ParseInjection(const std::wstring& text, uint64_t max_value, TickInjection<T>* out) {
  size_t at = text.find(L'@');
  uint64_t value = 0, tick = 0;
  if (at == std::wstring::npos || !ParseUnsigned(text.substr(0, at), max_value, &value) ||
      !ParseUnsigned(text.substr(at + 1), UINT32_MAX, &tick) || tick == 0)
    return false;
  out->set = true;
  out->value = static_cast<T>(value);
  out->tick = tick;
  return true;
}

// "ID" or "ID@FRAME"; a frame makes the damage timed (and the run live). All timed damage shares one frame.
bool SplitTimed(std::wstring* v, Options* o, bool* timed) {
  size_t at = v->find(L'@');
  *timed = at != std::wstring::npos;
  if (!*timed) return true;
  uint64_t frame = 0;
  if (!ParseUnsigned(v->substr(at + 1), UINT32_MAX, &frame)) return false;
  bool other_frame = (!o->timed_break_sites.empty() || !o->timed_protections.empty()) && o->timed_damage_frame != frame;
  o->timed_damage_frame = frame;
  o->live = true;
  v->resize(at);
  return !other_frame;
}

}  // namespace

bool ParseOptions(Options* o, std::wstring* error) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) {
    *error = L"could not read the command line";
    return false;
  }
  std::vector<std::wstring> args(argv + 1, argv + argc);
  LocalFree(argv);

  for (size_t i = 0; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    auto value = [&](std::wstring* v) {
      if (i + 1 >= args.size()) {
        *error = a + L" needs a value";
        return false;
      }
      *v = args[++i];
      return true;
    };
    auto bad = [&](const std::wstring& v) {
      *error = L"invalid value for " + a + L": " + v;
      return false;
    };
    std::wstring v;
    uint64_t n = 0;
    if (a == L"--help" || a == L"-h") {
      o->help = true;
    } else if (a == L"--no-plugin") {
      o->no_plugin = true;
    } else if (a == L"--call-sites") {
      o->call_sites = true;
    } else if (a == L"--ticks") {
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, 10000000, &n) || n == 0) return bad(v);
      o->ticks = n;
    } else if (a == L"--patch") {
      if (!value(&v)) return false;
      size_t eq = v.find(L'=');
      HeaderPatch p;
      if (eq == std::wstring::npos) return bad(v);
      p.field = v.substr(0, eq);
      std::wstring hex = v.substr(eq + 1);
      if (p.field != L"timestamp" && p.field != L"image-size" && p.field != L"machine" &&
          p.field != L"magic" && p.field != L"lfanew")
        return bad(v);
      uint64_t max = (p.field == L"machine" || p.field == L"magic") ? 0xFFFF : 0xFFFFFFFF;
      if (hex.rfind(L"0x", 0) != 0 && hex.rfind(L"0X", 0) != 0) return bad(v);
      if (!ParseUnsigned(hex, max, &n)) return bad(v);
      p.value = static_cast<uint32_t>(n);
      o->patches.push_back(p);
    } else if (a == L"--live") {
      o->live = true;
    } else if (a == L"--memory") {
      o->sample_memory = true;
    } else if (a == L"--break-site") {
      if (!value(&v)) return false;
      std::wstring id = v;
      bool timed = false;
      if (!SplitTimed(&id, o, &timed)) return bad(v);
      if (timed && id == L"swap") o->timed_break_sites.push_back(kPresentImportSite);
      else if (!ParseUnsigned(id, 24, &n)) return bad(v);
      else (timed ? o->timed_break_sites : o->break_sites).push_back(static_cast<int>(n));
    } else if (a == L"--protect-site") {
      if (!value(&v)) return false;
      std::wstring damage = v;
      bool timed = false;
      if (!SplitTimed(&damage, o, &timed)) return bad(v);
      size_t eq = damage.find(L'=');
      SiteProtection p;
      if (eq == std::wstring::npos || !ParseUnsigned(damage.substr(0, eq), 24, &n)) return bad(v);
      p.site = static_cast<int>(n);
      std::wstring kind = damage.substr(eq + 1);
      if (kind == L"noaccess") p.protection = PAGE_NOACCESS;
      else if (kind == L"guard") p.protection = PAGE_EXECUTE_READ | PAGE_GUARD;
      else if (kind == L"execute") p.protection = PAGE_EXECUTE;  // runs, but cannot be read
      else return bad(v);
      (timed ? o->timed_protections : o->protections).push_back(p);
    } else if (a == L"--tick-hz") {
      if (!value(&v) || !ParseNumber(v, 1.0, 1000.0, &o->tick_hz)) return v.empty() ? false : bad(v);
    } else if (a == L"--render-hz") {
      if (!value(&v) || !ParseNumber(v, 0.0, 100000.0, &o->render_hz)) return v.empty() ? false : bad(v);
    } else if (a == L"--naive-limit") {
      if (!value(&v) || !ParseNumber(v, 1.0, 1000.0, &o->naive_limit_fps)) return v.empty() ? false : bad(v);
    } else if (a == L"--draw-us") {
      if (!value(&v) || !ParseNumber(v, 0.0, 100000.0, &o->draw_us)) return v.empty() ? false : bad(v);
    } else if (a == L"--scenario") {
      if (!value(&v)) return false;
      if (v == L"full") o->scenario = Scenario::Full;
      else if (v == L"steady") o->scenario = Scenario::Steady;
      else if (v == L"steady-world") o->scenario = Scenario::SteadyWorld;
      else if (v == L"world") o->scenario = Scenario::World;
      else if (v == L"faults") o->scenario = Scenario::Faults;
      else if (v == L"stress") o->scenario = Scenario::Stress;
      else if (v == L"full-load") o->scenario = Scenario::FullLoad;
      else if (v == L"particles") o->scenario = Scenario::Particles;
      else if (v == L"particle-cost") o->scenario = Scenario::ParticleCost;
      else if (v == L"skeletons") o->scenario = Scenario::Skeletons;
      else if (v == L"skeleton-load") o->scenario = Scenario::SkeletonLoad;
      else if (v == L"camera-ride") o->scenario = Scenario::CameraRide;
      else if (v == L"skeleton-faults") o->scenario = Scenario::SkeletonFaults;
      else return bad(v);
    } else if (a == L"--host-clock") {
      if (!value(&v)) return false;
      if (v == L"1ms") o->host_clock = HostClock::Milliseconds;
      else if (v == L"15.6ms") o->host_clock = HostClock::Coarse;
      else if (v == L"pause") o->host_clock = HostClock::Pausing;
      else if (v == L"jump") o->host_clock = HostClock::Jumping;
      else return bad(v);
    } else if (a == L"--limit-byte") {
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, 255, &n)) return bad(v);
      o->limit_byte = static_cast<uint8_t>(n);
    } else if (a == L"--listener-flag") {
      if (!value(&v)) return false;
      if (!ParseInjection(v, 255, &o->listener_flag)) return bad(v);
    } else if (a == L"--camera-mode") {
      if (!value(&v)) return false;
      if (!ParseInjection(v, UINT32_MAX, &o->camera_mode) || o->camera_mode.value <= 1) return bad(v);
    } else if (a == L"--tamper-camera") {
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, UINT32_MAX, &n) || n == 0) return bad(v);
      o->tamper_tick = n;
    } else if (a == L"--tamper-node" || a == L"--tamper-body" || a == L"--tamper-bone") {
      if (!value(&v)) return false;
      if (!ParseUnsigned(v, UINT32_MAX, &n) || n == 0) return bad(v);
      (a == L"--tamper-node" ? o->tamper_node_tick : a == L"--tamper-body" ? o->tamper_body_tick : o->tamper_bone_tick) = n;
    } else if (a == L"--engine-readonly") {
      o->engine_readonly = true;
    } else if (a == L"--frames") {
      if (!value(&v)) return false;
      o->frames_path = v;
    } else if (a == L"--draw-log") {
      if (!value(&v)) return false;
      o->draw_log_path = v;
    } else if (a == L"--input") {
      if (!value(&v)) return false;
      if (!ParseInputScenario(v, &o->input_scenario)) return bad(v);
    } else if (a == L"--input-fault") {
      if (!value(&v)) return false;
      if (!ParseInputFault(v, &o->input_fault)) return bad(v);
    } else if (a == L"--input-log") {
      if (!value(&v)) return false;
      o->input_log_path = v;
    } else {
      *error = L"unknown option: " + a;
      return false;
    }
  }
  return true;
}

void PrintUsage() {
  std::fputs(
      "QuarrenVelt.exe (stand-in game) [options]\n"
      "  --ticks N               run N fixed steps, then exit (default 900)\n"
      "  --no-plugin             do not load QuarrenVelt.Framolt.dll\n"
      "  --patch FIELD=0xVALUE   rewrite a mapped header field before the plug-in loads;\n"
      "                          FIELD: timestamp, image-size, machine, magic, lfanew (repeatable)\n"
      "  --break-site ID         change the first entry byte of site ID (0..24) before the plug-in loads\n"
      "  --protect-site ID=noaccess|guard|execute\n"
      "                          protect the page of site ID while the plug-in starts\n"
      "  --live                  run the main loop while the plug-in starts, as the game does; the damage\n"
      "                          above then lasts until the plug-in's start-up has ended\n"
      "  --break-site ID@N, --protect-site ID=KIND@N\n"
      "                          the same damage after N presented frames (implies --live; the plug-in's\n"
      "                          start-up is held until then); a break keeps the site running where an\n"
      "                          equivalent encoding exists, ID swap renames the SDL_GL_SwapWindow import\n"
      "  --memory                report private memory after a tenth of the steps and at the end (the\n"
      "                          first look takes a few milliseconds of one frame)\n"
      "  --tick-hz HZ            fixed step rate (default 60)\n"
      "  --render-hz HZ          render rate once the engine's limit is off (0 = unbounded, default)\n"
      "  --naive-limit FPS       Sleep(1000/FPS) whole milliseconds after every frame\n"
      "  --draw-us US            drawing work of the listener viewport (default 200)\n"
      "  --scenario NAME         full, steady, steady-world, world, faults, stress, full-load, particles,\n"
      "                          particle-cost, skeletons, skeleton-load, camera-ride or skeleton-faults\n"
      "                          (default full)\n"
      "  --host-clock 1ms|15.6ms|pause|jump\n"
      "                          the scheduler's clock: whole milliseconds (default), a 15.625 ms system\n"
      "                          tick, standing still for the last 100 ms of every 2 s, or 150 ms ahead\n"
      "                          every 2 s\n"
      "  --limit-byte N          initial cEngine::mbLimitFPS byte (default 1)\n"
      "  --listener-flag V@TICK  listener viewport's flag byte becomes V from step TICK on\n"
      "  --camera-mode V@TICK    listener camera mode field becomes V (>1) for 10 steps from TICK\n"
      "  --frames FILE           write one CSV row per presented frame\n"
      "  --draw-log FILE         write one CSV row per tracked object per presented listener frame:\n"
      "                          present_s,frame,kind,id,x,y,z (the drawn world position)\n"
      "  --input NAME            the hand: none, look, latency or gui (default none); look and latency\n"
      "                          turn the listener camera by the mouse, gui opens a menu window\n"
      "  --input-fault NAME      list-cut, list-loop (the smoothing sample list); in the menu gui-2049\n"
      "                          (elements), gui-relative, gui-leave or gui-focus (1.0 to 1.6 s in)\n"
      "  --input-log FILE        write the hand's reports and each step's read: kind,t_s,step,x,y,yaw,pitch\n"
      "Scenario full (steps at the starting rate; tick = completed fixed steps):\n"
      "  1-239 euler mode, moving and turning; 240-419 matrix mode, moving and rolling;\n"
      "  420 back to euler; 480 teleport (+40 units on x); 600 listener viewport switches to\n"
      "  a second camera; 720 fixed step changes from the --tick-hz rate to 50 Hz.\n"
      "Scenario steady: euler mode, constant movement and turning, no events.\n"
      "Scenario steady-world: the steady camera, and every entity and body kind in steady motion\n"
      "  (constant velocity or steady orbit), no events.\n"
      "Scenario world: steady camera; player hands and body, held items and accessories, doors\n"
      "  and lifts, an inspected item, unnamed props, bodies falling, sliding and coming to rest;\n"
      "  entities teleported, renamed, re-classed and freed, a body destroyed after its callback.\n"
      "Scenario faults: guard and read-only node pages, names that change, a GetMatrix that\n"
      "  returns another pointer, NaN and non-rigid matrices, freed and reused objects, bodies\n"
      "  destroyed between their callback and the render.\n"
      "Scenario stress: one past every table (17 held, 257 scripted, 9 inspected, 257 moving\n"
      "  bodies), an entity with 33 nodes, a 97-byte name.\n"
      "Scenario full-load: 282 roots of 4 nodes (hands, body, 16 held, 256 scripted, 8 inspected)\n"
      "  and 256 moving bodies, all in steady motion.\n"
      "Scenario particles: steady camera; a fountain in steady motion, a burst with large steps, an\n"
      "  emitter that stops simulating at step 30 but is still drawn, emitters of 4096 and 4097\n"
      "  particles, nine sharing one registry home slot, one drawn by a render worker thread, and\n"
      "  emitters with a live count over capacity, no particle array, freed and made anew, NaN.\n"
      "Scenario particle-cost: steady camera; one emitter of 4096 drifting particles (big4096),\n"
      "  drawn on the game thread.\n"
      "Scenario skeletons: steady camera; the player's body (128 bones, walking) and hands (40 bones),\n"
      "  three ragdoll props whose root bones ride sliding physics bodies, two agents walking circles\n"
      "  (their mesh roots move). The draw log's kind bone has id OWNER:INDEX (PlayerBody_Model:5 is\n"
      "  the head); kind camera, id listener, is the drawn listener camera.\n"
      "Scenario skeleton-load: the body and 32 ragdoll props of 256 moving bones each.\n"
      "Scenario camera-ride: the walking body looking about hard (the head turns up to 0.9 rad); the\n"
      "  listener camera in matrix mode, kept by the game's script at a constant offset (0.51 units)\n"
      "  from the head bone (PlayerBody_Model:5).\n"
      "Scenario skeleton-faults: a body of 257 bones for steps 60-69 and a hand bone 10 units off\n"
      "  from step 200; props of 257 bones, an empty bone vector (steps 80-99), a parent after its\n"
      "  child, bones read-only between steps (from 120), renamed (140), freed (160), a 10-unit bone\n"
      "  jump (180), an update skipped (step 220), and 33 skeletal owners in all.\n"
      "Exit status 0 for a completed run; otherwise one line on stderr says why.\n",
      stdout);
}

}  // namespace qv

// LoadPluginConfig over arbitrary INI text, behind a stand-in for the profile-string call, checked
// against a model that parses each whole value the call holds (not the part that fits the buffer).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/config.h"
#include "core/config_parse.h"
#include "shim/fake_windows.h"

namespace {

struct Key {
  const wchar_t* section;
  const wchar_t* key;
  bool isBool;
  uint32_t minimum;
  uint32_t maximum;
};

// Record order, as the loader reads them.
constexpr Key kKeys[] = {
    {L"General", L"Enabled", true, 0, 0},
    {L"General", L"Diagnostics", true, 0, 0},
    {L"Telemetry", L"Enabled", true, 0, 0},
    {L"Telemetry", L"MotionTrace", true, 0, 0},
    {L"Telemetry", L"ReportIntervalSeconds", false, 1, 60},
    {L"Features", L"RenderUnlock", true, 0, 0},
    {L"Features", L"PresentationLimiter", true, 0, 0},
    {L"Features", L"CameraInterpolation", true, 0, 0},
    {L"Features", L"HandsRootInterpolation", true, 0, 0},
    {L"Features", L"WorldRootInterpolation", true, 0, 0},
    {L"Features", L"HandsPoseInterpolation", true, 0, 0},
    {L"Features", L"WorldPoseInterpolation", true, 0, 0},
    {L"Features", L"RagdollPoseInterpolation", true, 0, 0},
    {L"Features", L"VerletInterpolation", true, 0, 0},
    {L"Features", L"ParticleInterpolation", true, 0, 0},
    {L"Features", L"TemporalEffectTiming", true, 0, 0},
    {L"Features", L"MouseOverlay", true, 0, 0},
    {L"Timing", L"TargetFPS", false, 0, 1000},
};

bool White(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f'; }

std::wstring TrimLower(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && White(s[b])) ++b;
  while (e > b && White(s[e - 1])) --e;
  std::wstring out = s.substr(b, e - b);
  for (wchar_t& c : out)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return out;
}

// Model of one value: true with the parsed result, false when it must be refused.
bool ModelValue(const Key& k, const std::wstring& whole, uint32_t& out) {
  if (whole.size() > kConfigReadBufferChars - 1) return false;  // did not fit: never guessed at
  const std::wstring t = TrimLower(whole);
  if (k.isBool) {
    if (t == L"1" || t == L"true" || t == L"yes" || t == L"on") return out = 1, true;
    if (t == L"0" || t == L"false" || t == L"no" || t == L"off") return out = 0, true;
    return false;
  }
  size_t i = t.size() > 0 && t[0] == L'+' ? 1 : 0;
  if (i == t.size()) return false;
  uint64_t v = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < L'0' || t[i] > L'9') return false;
    v = v * 10 + static_cast<uint64_t>(t[i] - L'0');
    if (v > 0xFFFFFFFFull) return false;
  }
  if (v < k.minimum || v > k.maximum) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

uint32_t Field(const PluginConfig& c, size_t index) {
  const bool* bools[] = {&c.enabled, &c.diagnostics, &c.telemetryEnabled, &c.motionTrace};
  if (index < 4) return *bools[index];
  if (index == 4) return c.reportIntervalSeconds;
  if (index == 17) return c.targetFps;
  return (&c.renderUnlock)[index - 5];
}

[[noreturn]] void Fail(const char* what, size_t index) {
  std::fprintf(stderr, "config model mismatch: %s at key %zu\n", what, index);
  std::abort();
}

}  // namespace

// The value parsers alone, with any range: 0xFE, minimum and maximum (4 bytes each), then the
// value two bytes per character.
void FuzzParsers(const uint8_t* data, size_t size) {
  if (size < 9) return;
  Key k{L"S", L"K", false, 0, 0};
  std::memcpy(&k.minimum, data + 1, 4);
  std::memcpy(&k.maximum, data + 5, 4);
  std::wstring raw;
  // The parsers only ever see what fits the read buffer.
  for (size_t i = 9; i + 1 < size && raw.size() < kConfigReadBufferChars - 1; i += 2)
    raw.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  uint32_t expected = 0, value = 0;
  std::wstring message;
  const bool modelOk = ModelValue(k, raw, expected);
  if (ParseConfigUnsigned(raw, L"S", L"K", k.minimum, k.maximum, value, message) != modelOk) Fail("unsigned parser", 0);
  if (modelOk && value != expected) Fail("unsigned value", 0);
  if (!modelOk && message.find(L"[S] K") == std::wstring::npos) Fail("unsigned message", 0);
  k.isBool = true;
  bool flag = false;
  const bool boolOk = ModelValue(k, raw, expected);
  if (ParseConfigBoolWord(raw, flag) != boolOk || (boolOk && flag != (expected == 1))) Fail("boolean parser", 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] == 0xFE) {
    FuzzParsers(data, size);
    return 0;
  }
  // Two bytes per character, so NULs and characters past Latin-1 reach the parser too; an odd
  // last byte stands alone.
  std::wstring text;
  for (size_t i = 0; i < size; i += 2) {
    const uint32_t hi = i + 1 < size ? data[i + 1] : 0;
    text.push_back(static_cast<wchar_t>(data[i] | (hi << 8)));
  }
  // Mostly ASCII input reads better as one byte per character: 0xFF first picks two per character.
  if (size > 0 && data[0] != 0xFF) text.assign(data, data + size);
  fake_windows::SetIni(text);
  fake_windows::SetFileExists(true);

  const PluginConfig config = LoadPluginConfig(L"fuzz.ini");
  const PluginConfig defaults;
  bool stopped = false;
  for (size_t i = 0; i < sizeof kKeys / sizeof kKeys[0]; ++i) {
    const Key& k = kKeys[i];
    std::wstring whole;
    const bool present = fake_windows::FullIniValue(k.section, k.key, whole) && !whole.empty() &&
                         whole != kConfigMissingSentinel;
    uint32_t expected = Field(defaults, i);
    if (stopped) {
      if (Field(config, i) != expected) Fail("key after the failure not at its default", i);
      continue;
    }
    if (present && !ModelValue(k, whole, expected)) {
      stopped = true;
      if (config.valid) Fail("a bad value was accepted", i);
      const std::wstring name = std::wstring(L"[") + k.section + L"] " + k.key;
      if (config.message.find(name) == std::wstring::npos) Fail("message does not name the key", i);
      if (Field(config, i) != Field(defaults, i)) Fail("refused value stored", i);
      continue;
    }
    if (Field(config, i) != expected) Fail("value differs from the model", i);
  }
  if (!stopped && (!config.valid || !config.message.empty())) Fail("good file refused", 0);
  return 0;
}

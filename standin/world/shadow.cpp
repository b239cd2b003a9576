#include "shadow.h"

#include <cstdio>
#include <cstring>

namespace qv {
namespace {

constexpr int kCapacity = 16384;

struct Entry {
  bool live;
  bool suspended;
  bool written;
  uint16_t size;
  void* address;  // memory entries
  ShadowReader reader;
  void* object;  // reader entries
  ShadowLabel label;
  alignas(16) uint8_t bytes[kShadowMaxBytes];
};

struct Registry {
  Entry entries[kCapacity];
  int high = 0;  // entries at and above this index were never used
  int free_hint = 0;
  int live = 0;
  bool overflowed = false;
  uint64_t violations = 0;
  std::wstring first;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

int Take(ShadowLabel label, size_t size) {
  Registry& r = TheRegistry();
  if (size == 0 || size > kShadowMaxBytes) return kShadowNone;
  for (int n = 0; n < kCapacity; ++n) {
    int i = (r.free_hint + n) % kCapacity;
    if (r.entries[i].live) continue;
    Entry& e = r.entries[i];
    e = Entry{};
    e.live = true;
    e.size = static_cast<uint16_t>(size);
    e.label = label;
    r.free_hint = (i + 1) % kCapacity;
    if (i >= r.high) r.high = i + 1;
    ++r.live;
    return i;
  }
  r.overflowed = true;
  return kShadowNone;
}

std::wstring Values(const uint8_t* bytes, size_t size) {
  std::wstring text = L"(";
  wchar_t buf[64];
  if (size % 4 == 0) {
    for (size_t i = 0; i < size / 4; ++i) {
      float v;
      std::memcpy(&v, bytes + 4 * i, 4);
      std::swprintf(buf, 64, L"%s%.9g", i ? L", " : L"", static_cast<double>(v));
      text += buf;
    }
  } else {
    for (size_t i = 0; i < size; ++i) {
      std::swprintf(buf, 64, L"%s%02X", i ? L" " : L"", bytes[i]);
      text += buf;
    }
  }
  return text + L")";
}

std::wstring Widen(const char* text) {
  std::wstring out;
  for (; text && *text; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

int ShadowTrackMemory(ShadowLabel label, void* address, size_t size) {
  int h = Take(label, size);
  if (h != kShadowNone) TheRegistry().entries[h].address = address;
  return h;
}

int ShadowTrackReader(ShadowLabel label, ShadowReader reader, void* object, size_t size) {
  int h = Take(label, size);
  if (h != kShadowNone) {
    TheRegistry().entries[h].reader = reader;
    TheRegistry().entries[h].object = object;
  }
  return h;
}

void ShadowWrote(int handle, const void* bytes) {
  if (handle < 0 || handle >= kCapacity) return;
  Entry& e = TheRegistry().entries[handle];
  std::memcpy(e.bytes, bytes, e.size);
  e.written = true;
}

void ShadowForget(int handle) {
  if (handle < 0 || handle >= kCapacity || !TheRegistry().entries[handle].live) return;
  TheRegistry().entries[handle].live = false;
  --TheRegistry().live;
}

void ShadowSuspend(int handle, bool suspended) {
  if (handle >= 0 && handle < kCapacity) TheRegistry().entries[handle].suspended = suspended;
}

void CheckShadows(uint64_t before_step) {
  Registry& r = TheRegistry();
  if (r.overflowed && r.violations++ == 0)
    r.first = L"before step " + std::to_wstring(before_step) + L", the leak check could not track every object written";
  for (int i = 0; i < r.high; ++i) {
    Entry& e = r.entries[i];
    if (!e.live || e.suspended || !e.written) continue;
    alignas(16) uint8_t now[kShadowMaxBytes];
    bool readable = true;
    if (e.reader) readable = e.reader(e.object, now);
    else std::memcpy(now, e.address, e.size);
    if (readable && std::memcmp(now, e.bytes, e.size) == 0) continue;
    if (r.violations++ != 0) continue;
    r.first = L"before step " + std::to_wstring(before_step) + L", " + e.label.kind + L" " + Widen(e.label.id) + L" " +
              e.label.field;
    if (readable) r.first += L" held " + Values(now, e.size) + L", the simulation wrote " + Values(e.bytes, e.size);
    else r.first += L" could not be read back";
  }
}

uint64_t ShadowViolations() { return TheRegistry().violations; }
const std::wstring& FirstShadowViolation() { return TheRegistry().first; }
int ShadowLiveCount() { return TheRegistry().live; }
bool ShadowOverflowed() { return TheRegistry().overflowed; }

}  // namespace qv

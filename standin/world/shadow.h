// The leak check every kind of host object takes part in: a kind tells the registry what it last
// wrote (at an address, or as read back through a host getter), and at the start of every fixed
// step the registry compares each live entry with what the host holds now.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

inline constexpr size_t kShadowMaxBytes = 64;
inline constexpr int kShadowNone = -1;

// Reads an object's current value through the host (e.g. an entity's GetMatrix); false when it
// can't be read, which is itself a violation.
using ShadowReader = bool (*)(void* object, void* out);

// kind and field are static texts; id points at the owner's stable name; all outlive the entry.
struct ShadowLabel {
  const wchar_t* kind;
  const char* id;
  const wchar_t* field;
};

// A tracked range of host memory; size is at most kShadowMaxBytes. Returns kShadowNone when the
// registry is full (the run then fails: an unchecked object would hide a leak).
int ShadowTrackMemory(ShadowLabel label, void* address, size_t size);
// A value read back through reader(object).
int ShadowTrackReader(ShadowLabel label, ShadowReader reader, void* object, size_t size);
// What the simulation wrote last; bytes has the entry's size.
void ShadowWrote(int handle, const void* bytes);
// Stop checking (before the host frees or hides the memory).
void ShadowForget(int handle);
// Pause and resume checking, for memory the game itself has made unreadable for a while.
void ShadowSuspend(int handle, bool suspended);

// Compares every live entry; counts each difference and keeps the first one's description.
void CheckShadows(uint64_t before_step);

uint64_t ShadowViolations();
const std::wstring& FirstShadowViolation();
int ShadowLiveCount();
bool ShadowOverflowed();

}  // namespace qv

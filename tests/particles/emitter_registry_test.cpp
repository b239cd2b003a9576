// Which emitters count as simulated lately: probing from the home slot, staleness, overflow.
#include "particles/emitter_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

// The i-th emitter address whose home slot is `home` (addresses 2048 x 16 bytes apart share it).
uint64_t SharingHome(size_t home, uint64_t i) { return 0x10000000 + home * 16 + i * kEmitterRegistrySlots * 16; }

struct Registration {
  uint64_t emitter;
  uint64_t tick;
};

struct Query {
  uint64_t emitter;
  uint64_t tick;
  bool recent;
};

struct Scenario {
  const char* name;
  std::vector<Registration> registrations;
  size_t expectedDropped;
  std::vector<Query> queries;
};

TEST(EmitterRegistryTest, ProbingStalenessAndOverflow) {
  const uint64_t a = SharingHome(5, 0);
  const Scenario scenarios[] = {
      {"updated this tick or the one before counts; two ticks ago does not",
       {{a, 7}},
       0,
       {{a, 7, true}, {a, 8, true}, {a, 9, false}, {SharingHome(5, 1), 7, false}}},
      {"a second update refreshes the same slot",
       {{a, 3}, {a, 9}},
       0,
       {{a, 10, true}, {a, 11, false}}},
      {"eight emitters share one home slot; the ninth overflows",
       {{SharingHome(9, 0), 4}, {SharingHome(9, 1), 4}, {SharingHome(9, 2), 4}, {SharingHome(9, 3), 4},
        {SharingHome(9, 4), 4}, {SharingHome(9, 5), 4}, {SharingHome(9, 6), 4}, {SharingHome(9, 7), 4},
        {SharingHome(9, 8), 4}},
       1,
       {{SharingHome(9, 0), 4, true}, {SharingHome(9, 7), 4, true}, {SharingHome(9, 8), 4, false}}},
      {"the ninth takes the slot of one that went stale",
       {{SharingHome(9, 0), 1}, {SharingHome(9, 1), 4}, {SharingHome(9, 2), 4}, {SharingHome(9, 3), 4},
        {SharingHome(9, 4), 4}, {SharingHome(9, 5), 4}, {SharingHome(9, 6), 4}, {SharingHome(9, 7), 4},
        {SharingHome(9, 8), 4}},
       0,
       {{SharingHome(9, 8), 4, true}, {SharingHome(9, 0), 4, false}, {SharingHome(9, 7), 5, true}}},
      {"one updated in the previous tick is not stale and keeps its slot",
       {{SharingHome(9, 0), 3}, {SharingHome(9, 1), 4}, {SharingHome(9, 2), 4}, {SharingHome(9, 3), 4},
        {SharingHome(9, 4), 4}, {SharingHome(9, 5), 4}, {SharingHome(9, 6), 4}, {SharingHome(9, 7), 4},
        {SharingHome(9, 8), 4}},
       1,
       {{SharingHome(9, 0), 4, true}, {SharingHome(9, 8), 4, false}}},
      {"probing wraps from the last slot to the first",
       {{SharingHome(2047, 0), 2}, {SharingHome(2047, 1), 2}, {SharingHome(2047, 2), 2}, {SharingHome(0, 0), 2}},
       0,
       {{SharingHome(2047, 2), 2, true}, {SharingHome(0, 0), 2, true}}},
      {"an emitter found past a stale slot is refreshed, not registered twice",
       {{SharingHome(3, 0), 1}, {SharingHome(3, 1), 1}, {SharingHome(3, 1), 6}},
       0,
       {{SharingHome(3, 1), 6, true}, {SharingHome(3, 0), 6, false}}},
      {"a null emitter is never registered", {{0, 1}}, 1, {{0, 1, false}}},
  };
  for (const Scenario& s : scenarios) {
    auto registry = std::make_unique<EmitterRegistry>();
    size_t dropped = 0;
    for (const Registration& r : s.registrations) dropped += !RegisterEmitter(*registry, r.emitter, r.tick);
    EXPECT_EQ(dropped, s.expectedDropped) << s.name;
    for (const Query& q : s.queries)
      EXPECT_EQ(EmitterRecentlyUpdated(*registry, q.emitter, q.tick), q.recent)
          << s.name << ": emitter 0x" << std::hex << q.emitter << std::dec << " at tick " << q.tick;
  }
}

TEST(EmitterRegistryTest, ClearingForgetsEveryEmitter) {
  auto registry = std::make_unique<EmitterRegistry>();
  ASSERT_TRUE(RegisterEmitter(*registry, SharingHome(1, 0), 2));
  ClearEmitterRegistry(*registry);
  EXPECT_FALSE(EmitterRecentlyUpdated(*registry, SharingHome(1, 0), 2));
  for (uint64_t i = 0; i < 8; ++i) EXPECT_TRUE(RegisterEmitter(*registry, SharingHome(1, i), 2));
}

TEST(EmitterRegistryTest, ThreadsRegisteringAndQueryingTogetherLoseNothing) {
  // Two threads own four emitters each of one home slot: every registration must land and be seen.
  auto registry = std::make_unique<EmitterRegistry>();
  auto work = [&](uint64_t first, int* misses) {
    for (uint64_t tick = 1; tick <= 2000; ++tick) {
      for (uint64_t i = first; i < first + 4; ++i) {
        if (!RegisterEmitter(*registry, SharingHome(77, i), tick)) ++*misses;
        if (!EmitterRecentlyUpdated(*registry, SharingHome(77, i), tick)) ++*misses;
      }
    }
  };
  int missesA = 0;
  int missesB = 0;
  std::thread other(work, 4, &missesB);
  work(0, &missesA);
  other.join();
  EXPECT_EQ(missesA, 0);
  EXPECT_EQ(missesB, 0);
}

}  // namespace

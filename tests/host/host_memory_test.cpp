// The guarded host-memory helpers on real pages: what they refuse must be refused without a fault,
// and what they allow must be copied exactly.
#include "host/host_memory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Two committed pages; the second can be given another protection.
class TwoPages {
 public:
  TwoPages() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * page_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~TwoPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  TwoPages(const TwoPages&) = delete;
  TwoPages& operator=(const TwoPages&) = delete;
  uint8_t* first() const { return base_; }
  uint8_t* second() const { return base_ + page_; }
  size_t page() const { return page_; }
  void Protect(uint8_t* page, DWORD protection) const {
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(page, page_, protection, &old));
    AdvanceRegionCacheEpoch();
  }

 private:
  size_t page_ = 0;
  uint8_t* base_ = nullptr;
};

TEST(HostMemory, CopiesExactlyWhereAllowedAndRefusesNonsense) {
  TwoPages pages;
  const uint64_t value = 0x1122334455667788ull;
  ASSERT_TRUE(WriteHostValueAt(pages.first(), 8, value));
  uint64_t back = 0;
  ASSERT_TRUE(ReadHostValueAt(pages.first(), 8, back));
  EXPECT_EQ(back, value);
  EXPECT_EQ(std::memcmp(pages.first() + 8, &value, sizeof(value)), 0);

  uint8_t byte = 0;
  EXPECT_FALSE(ReadHostValueAt(static_cast<const void*>(nullptr), 8, byte));
  EXPECT_FALSE(CheckHostRange(pages.first(), 0, false));
  EXPECT_FALSE(CheckHostRange(pages.first(), SIZE_MAX, false)) << "a range that wraps around";
  EXPECT_FALSE(ReadHostMemory(pages.first(), nullptr, 4));
  EXPECT_FALSE(WriteHostMemory(pages.first(), nullptr, 4));
}

TEST(HostMemory, UnusablePagesAndRangesRunningIntoThemAreRefused) {
  for (const DWORD protection : {DWORD{PAGE_NOACCESS}, DWORD{PAGE_READWRITE | PAGE_GUARD}}) {
    TwoPages pages;
    pages.Protect(pages.second(), protection);
    uint32_t value = 0;
    EXPECT_FALSE(ReadHostValueAt(pages.second(), 0, value)) << protection;
    EXPECT_FALSE(WriteHostValueAt(pages.second(), 0, value)) << protection;
    // Starts on the readable page and ends on the other one.
    EXPECT_FALSE(ReadHostValueAt(pages.first(), pages.page() - 2, value)) << protection;
    EXPECT_FALSE(IsReadableHostRange(pages.first() + pages.page() - 2, 4)) << protection;
    EXPECT_TRUE(IsReadableHostRange(pages.first() + pages.page() - 4, 4)) << protection;
    EXPECT_EQ(ReadableBytesFrom(pages.first() + 16), pages.page() - 16) << protection;
    EXPECT_EQ(ReadableBytesFrom(pages.second()), 0u) << protection;

    // Looking never touches: a guard page keeps its guard.
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(pages.second(), &info, sizeof(info)), sizeof(info));
    EXPECT_EQ(info.Protect, protection);
  }
}

TEST(HostMemory, ReadOnlyPagesAreReadButNeverWritten) {
  TwoPages pages;
  pages.first()[0] = 0x5A;
  pages.Protect(pages.first(), PAGE_READONLY);
  uint8_t value = 0;
  EXPECT_TRUE(ReadHostValueAt(pages.first(), 0, value));
  EXPECT_EQ(value, 0x5A);
  EXPECT_FALSE(WriteHostValueAt(pages.first(), 0, uint8_t{1}));
  EXPECT_EQ(pages.first()[0], 0x5A);
}

TEST(HostMemory, ACachedRegionIsAskedAgainAfterTheEpochAdvances) {
  TwoPages pages;
  uint32_t value = 0;
  ASSERT_TRUE(ReadHostValueAt(pages.second(), 0, value));
  const uint64_t queries = RegionQueryCount();
  ASSERT_TRUE(ReadHostValueAt(pages.second(), 4, value));
  EXPECT_EQ(RegionQueryCount(), queries) << "the second read is answered from the cache";

  pages.Protect(pages.second(), PAGE_NOACCESS);   // advances the epoch
  EXPECT_FALSE(ReadHostValueAt(pages.second(), 4, value));
  EXPECT_GT(RegionQueryCount(), queries);
}

TEST(HostMemory, ARememberedRegionAnswersAsTheCacheDoes) {
  // A read-write page then a read-only one, checked in turn through one memo: each answer must be
  // the plain check's, whether the memo holds the region asked about, another one, or none.
  TwoPages pages;
  pages.Protect(pages.second(), PAGE_READONLY);
  const size_t page = pages.page();
  const struct {
    const char* name;
    const uint8_t* address;
    size_t length;
    bool write;
    bool expected;
  } cases[] = {
      {"null into an empty memo", nullptr, 8, false, false},
      {"write on the first page", pages.first() + 8, 64, true, true},
      {"empty range", pages.first() + 8, 0, false, false},
      {"running into the read-only page", pages.first() + page - 32, 64, false, false},
      {"read on the read-only page", pages.second(), 64, false, true},
      {"write on the read-only page", pages.second() + 64, 64, true, false},
      {"past the end of the read-only page", pages.second() + page - 8, 16, false, false},
      {"back to the first page", pages.first() + page - 64, 64, true, true},
  };
  HostRegionMemo memo;
  for (const auto& c : cases) {
    EXPECT_EQ(CheckHostRange(c.address, c.length, c.write, memo), c.expected) << c.name;
    EXPECT_EQ(CheckHostRange(c.address, c.length, c.write), c.expected) << c.name;
  }
}

// More threads than the helpers keep caches for, each checking its own pages while the others
// do: every answer must still be right.
TEST(HostMemory, ManyThreadsGetRightAnswersWithOrWithoutACacheOfTheirOwn) {
  constexpr int kThreads = 12;
  std::vector<TwoPages> pages(kThreads);
  for (TwoPages& p : pages) p.Protect(p.second(), PAGE_NOACCESS);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const TwoPages& mine = pages[static_cast<size_t>(t)];
      for (int i = 0; i < 2000; ++i) {
        uint32_t value = static_cast<uint32_t>(t * 100000 + i);
        if (!WriteHostValueAt(mine.first(), 64, value)) ++wrong;
        uint32_t back = 0;
        if (!ReadHostValueAt(mine.first(), 64, back) || back != value) ++wrong;
        if (ReadHostValueAt(mine.second(), 0, back)) ++wrong;
        if (i % 500 == 0) AdvanceRegionCacheEpoch();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Objects of one heap visited from the top down: the region is asked about once from the start of
// its allocation rather than once per object.
TEST(HostMemory, AWalkDownOneRegionAsksTheSystemAFewTimesNotOncePerPage) {
  constexpr size_t kPages = 16;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  auto* heap = static_cast<uint8_t*>(VirtualAlloc(nullptr, kPages * info.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(heap, nullptr);
  AdvanceRegionCacheEpoch();
  const uint64_t before = RegionQueryCount();
  for (size_t page = kPages; page-- > 0;) {
    uint64_t value = 0;
    EXPECT_TRUE(ReadHostValueAt(heap, page * info.dwPageSize + 8, value)) << page;
  }
  EXPECT_LE(RegionQueryCount() - before, 3u);

  // A page below with another protection is not part of the region: it is refused for writing.
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(heap, info.dwPageSize, PAGE_READONLY, &old));
  AdvanceRegionCacheEpoch();
  EXPECT_TRUE(WriteHostValueAt(heap, 3 * info.dwPageSize, uint32_t{1}));
  EXPECT_TRUE(WriteHostValueAt(heap, 2 * info.dwPageSize, uint32_t{1}));
  EXPECT_TRUE(WriteHostValueAt(heap, info.dwPageSize, uint32_t{1}));
  EXPECT_FALSE(WriteHostValueAt(heap, 16, uint32_t{1}));
  VirtualFree(heap, 0, MEM_RELEASE);
}

}  // namespace

#include "host/host_sites.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

const BuildMapping& Build(const wchar_t* label) {
  for (size_t i = 0; i < BuildMappingCount(); ++i)
    if (std::wstring(BuildMappings()[i].label) == label) return BuildMappings()[i];
  throw std::runtime_error("no such build");
}

TEST(BuildMappings, GogIsSearchedBeforeSteam) {
  ASSERT_EQ(BuildMappingCount(), 2u);
  EXPECT_STREQ(BuildMappings()[0].label, L"GOG");
  EXPECT_STREQ(BuildMappings()[1].label, L"Steam");
  EXPECT_EQ(BuildMappings()[0].timestamp, 0x614063E2u);
  EXPECT_EQ(BuildMappings()[0].imageSize, 0x9FD000u);
  EXPECT_EQ(BuildMappings()[1].timestamp, 0x61406F43u);
  EXPECT_EQ(BuildMappings()[1].imageSize, 0xA88000u);
}

// Both builds carry the same entry bytes except at the sites whose code differs between them;
// a transcription slip in either table shows up here.
TEST(BuildMappings, EntryBytesAgreeBetweenBuildsExceptAtTheSplitSites) {
  const std::set<size_t> split = {5, 12, 13, 20, 21, 22, 23};
  const BuildMapping& gog = Build(L"GOG");
  const BuildMapping& steam = Build(L"Steam");
  for (size_t id = 0; id < kSiteCount; ++id) {
    const HostSite& a = gog.sites[id];
    const HostSite& b = steam.sites[id];
    EXPECT_EQ(a.length, b.length) << "site " << id;
    ASSERT_GE(a.length, 1u) << "site " << id;
    ASSERT_LE(a.length, 24u) << "site " << id;
    const bool same = std::memcmp(a.bytes, b.bytes, a.length) == 0;
    EXPECT_EQ(same, split.count(id) == 0) << "site " << id << " (" << SiteName(static_cast<SiteId>(id)) << ")";
    EXPECT_LT(a.rva, gog.imageSize) << "site " << id;
    EXPECT_LT(b.rva, steam.imageSize) << "site " << id;
  }
}

TEST(BuildMappings, SchedulerClockAndMeshGetterAreTheShortSites) {
  for (size_t id = 0; id < kSiteCount; ++id) {
    const uint64_t expected = id == 5 ? 16 : id == 24 ? 8 : 24;
    EXPECT_EQ(Build(L"GOG").sites[id].length, expected) << "site " << id;
  }
}

}  // namespace

#include "host/host_validation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/fake_pe_image.h"

namespace {

constexpr uint32_t kPage = 0x1000;
const uint8_t kSiteBytes[24] = {0x40, 0x55, 0x53, 0x56, 0x57, 0x41, 0x54, 0x41, 0x56, 0x48, 0x8D, 0x6C,
                                0x24, 0xD8, 0x48, 0x81, 0xEC, 0x28, 0x01, 0x00, 0x00, 0x48, 0x8B, 0xF1};

std::wstring OwnPath() {
  wchar_t path[32768];
  const DWORD length = GetModuleFileNameW(nullptr, path, 32768);
  return std::wstring(path, length);
}

TEST(ValidateHost, RefusesAHostUnderAnotherNameWithItsFullPath) {
  const HostValidation result = ValidateHost(GetModuleHandleW(nullptr));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.path, OwnPath());
  EXPECT_EQ(result.reason, L"Host executable name is not QuarrenVelt.exe: " + OwnPath());
}

TEST(ValidateHost, RefusesANullModuleAndMemoryThatIsNoModule) {
  EXPECT_EQ(ValidateHost(nullptr).reason, L"Host module handle is null.");
  // A PE image in plain memory has no file the loader knows of.
  FakePeImage image({});
  const HostValidation result = ValidateHost(image.module());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.reason, L"Could not resolve the host executable path.");
}

// A host image with SizeOfImage shorter than its committed memory, so that only the size of image,
// not the end of the allocation, can refuse a site past it.
class EntryBytesTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kImageSize = 0x8000;
  FakePeImage image_{{}, 0x10000};
  void SetUp() override { image_.ntHeaders()->OptionalHeader.SizeOfImage = kImageSize; }
  bool Matches(uint64_t rva, uint64_t length = sizeof(kSiteBytes)) {
    return EntryBytesMatch(image_.module(), rva, kSiteBytes, length);
  }
};

TEST_F(EntryBytesTest, BytesEndingExactlyAtTheSizeOfImageMatchOneMoreDoesNot) {
  std::memcpy(image_.base() + kImageSize - 24, kSiteBytes, 24);
  EXPECT_TRUE(Matches(kImageSize - 24));
  // The same bytes one further: still inside the committed memory, but past the image.
  std::memcpy(image_.base() + kImageSize - 23, kSiteBytes, 24);
  EXPECT_FALSE(Matches(kImageSize - 23));
  EXPECT_FALSE(Matches(kImageSize));
  EXPECT_FALSE(Matches(0xFFFFFFFFFFFFFFF0ull));   // an RVA whose end wraps around
}

TEST_F(EntryBytesTest, ComparesEveryByteOfTheGivenLength) {
  std::memcpy(image_.base() + 0x4000, kSiteBytes, 24);
  EXPECT_TRUE(Matches(0x4000));
  EXPECT_TRUE(Matches(0x4000, 1));
  image_.base()[0x4000 + 23] ^= 0xFF;
  EXPECT_FALSE(Matches(0x4000));
  EXPECT_TRUE(Matches(0x4000, 23));
}

TEST_F(EntryBytesTest, RefusesBadArgumentsAndHeaders) {
  std::memcpy(image_.base() + 0x4000, kSiteBytes, 24);
  ASSERT_TRUE(Matches(0x4000));
  EXPECT_FALSE(EntryBytesMatch(nullptr, 0x4000, kSiteBytes, 24));
  EXPECT_FALSE(EntryBytesMatch(image_.module(), 0x4000, nullptr, 24));
  EXPECT_FALSE(Matches(0x4000, 0));

  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image_.base());
  const LONG ntOffset = dos->e_lfanew;
  struct HeaderCase {
    const char* name;
    void (*breakIt)(IMAGE_DOS_HEADER*, IMAGE_NT_HEADERS64*);
  };
  const HeaderCase cases[] = {
      {"DOS signature", [](IMAGE_DOS_HEADER* d, IMAGE_NT_HEADERS64*) { d->e_magic = 0x4D5A; }},
      {"NT offset 0", [](IMAGE_DOS_HEADER* d, IMAGE_NT_HEADERS64*) { d->e_lfanew = 0; }},
      {"NT offset above 1 MiB", [](IMAGE_DOS_HEADER* d, IMAGE_NT_HEADERS64*) { d->e_lfanew = 0x100001; }},
      {"NT offset negative", [](IMAGE_DOS_HEADER* d, IMAGE_NT_HEADERS64*) { d->e_lfanew = -8; }},
      {"NT signature", [](IMAGE_DOS_HEADER*, IMAGE_NT_HEADERS64* nt) { nt->Signature = 0x00004551; }},
  };
  for (const HeaderCase& c : cases) {
    const IMAGE_NT_HEADERS64 savedNt = *image_.ntHeaders();
    c.breakIt(dos, image_.ntHeaders());
    EXPECT_FALSE(Matches(0x4000)) << c.name;
    dos->e_magic = IMAGE_DOS_SIGNATURE;
    dos->e_lfanew = ntOffset;
    *image_.ntHeaders() = savedNt;
    ASSERT_TRUE(Matches(0x4000)) << "restored after " << c.name;
  }
}

struct MemoryCase {
  const char* name;
  DWORD protection;   // 0: reserve only
  bool matches;
};

TEST(EntryBytesMemory, OnlyCommittedReadablePagesAreReadAndNothingFaults) {
  const MemoryCase cases[] = {
      {"reserved, not committed", 0, false},
      {"guard page", PAGE_READWRITE | PAGE_GUARD, false},
      {"no access", PAGE_NOACCESS, false},
      {"read-only", PAGE_READONLY, true},
      {"execute-read", PAGE_EXECUTE_READ, true},
  };
  for (const MemoryCase& c : cases) {
    FakePeImage image({}, 0x40000, FakePeMemory::CommitHeadersOnly);
    constexpr uint32_t kRva = 0x20000;
    if (c.protection != 0) {
      image.place(kRva, kSiteBytes, sizeof(kSiteBytes));
      image.protect(kRva, kPage, c.protection);
    }
    EXPECT_EQ(EntryBytesMatch(image.module(), kRva, kSiteBytes, 24), c.matches) << c.name;
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_EQ(VirtualQuery(image.base() + kRva, &info, sizeof(info)), sizeof(info));
    if (c.protection & PAGE_GUARD) EXPECT_TRUE(info.Protect & PAGE_GUARD) << "the guard page was touched";
  }
}

TEST(EntryBytesMemory, BytesMustNotStraddleIntoAnotherRegion) {
  FakePeImage image({}, 0x40000, FakePeMemory::CommitHeadersOnly);
  constexpr uint32_t kRva = 0x20000 + kPage - 12;   // 12 bytes on one page, 12 on the next
  image.commit(0x20000, kPage);
  std::memcpy(image.base() + kRva, kSiteBytes, 12);
  // The next page only reserved.
  EXPECT_FALSE(EntryBytesMatch(image.module(), kRva, kSiteBytes, 24));
  EXPECT_TRUE(EntryBytesMatch(image.module(), kRva, kSiteBytes, 12));
  // Committed, but with another protection: a region of its own.
  image.commit(0x20000 + kPage, kPage);
  std::memcpy(image.base() + kRva + 12, kSiteBytes + 12, 12);
  image.protect(0x20000 + kPage, kPage, PAGE_READONLY);
  EXPECT_FALSE(EntryBytesMatch(image.module(), kRva, kSiteBytes, 24));
  image.protect(0x20000 + kPage, kPage, PAGE_READWRITE);
  EXPECT_TRUE(EntryBytesMatch(image.module(), kRva, kSiteBytes, 24));
}

const HostSite& MappingSite(size_t build, SiteId id) {
  return BuildMappings()[build].sites[static_cast<size_t>(id)];
}

// A host image of a supported build's size, with only the pages a test places code on committed.
class BuildIdentificationTest : public ::testing::Test {
 protected:
  void TearDown() override { ClearIdentifiedBuildForTest(); }
  static void PlaceSite(FakePeImage& image, size_t build, SiteId id) {
    const HostSite& site = MappingSite(build, id);
    image.place(static_cast<uint32_t>(site.rva), site.bytes, site.length);
  }
};

TEST_F(BuildIdentificationTest, IdentifiesGogAndSteamByTheirEngineRunBytes) {
  struct BuildCase {
    const wchar_t* label;
    uint32_t imageSize;
    uint64_t engineRunRva;
  };
  const BuildCase cases[] = {{L"GOG", 0x9FD000, 0x318130}, {L"Steam", 0xA88000, 0x326280}};
  for (size_t b = 0; b < 2; ++b) {
    FakePeImage image({}, cases[b].imageSize, FakePeMemory::CommitHeadersOnly);
    PlaceSite(image, b, SiteId::EngineRun);
    const BuildMapping* build = IdentifyBuild(image.module());
    ASSERT_NE(build, nullptr) << testing::PrintToString(std::wstring(cases[b].label));
    EXPECT_STREQ(build->label, cases[b].label);
    EXPECT_EQ(IdentifiedBuild(), build);
    EXPECT_EQ(SiteRva(SiteId::EngineRun), cases[b].engineRunRva);
    EXPECT_EQ(SiteAddress(image.module(), SiteId::EngineRun), image.base() + cases[b].engineRunRva);
    EXPECT_TRUE(SiteMatches(image.module(), SiteId::EngineRun));
    // Other sites are checked on their own: not placed, no match; placed, a match.
    EXPECT_FALSE(SiteMatches(image.module(), SiteId::SchedulerClock));
    PlaceSite(image, b, SiteId::SchedulerClock);
    EXPECT_TRUE(SiteMatches(image.module(), SiteId::SchedulerClock));
    EXPECT_FALSE(SiteMatches(image.module(), SiteId::AgentMeshGetter));
  }
}

TEST_F(BuildIdentificationTest, GogWinsWhenBothBuildsCodeIsPresent) {
  FakePeImage image({}, 0xA88000, FakePeMemory::CommitHeadersOnly);
  PlaceSite(image, 1, SiteId::EngineRun);
  PlaceSite(image, 0, SiteId::EngineRun);
  const BuildMapping* build = IdentifyBuild(image.module());
  ASSERT_NE(build, nullptr);
  EXPECT_STREQ(build->label, L"GOG");
}

TEST_F(BuildIdentificationTest, NoMatchClearsAnEarlierIdentification) {
  FakePeImage gog({}, 0x9FD000, FakePeMemory::CommitHeadersOnly);
  PlaceSite(gog, 0, SiteId::EngineRun);
  ASSERT_NE(IdentifyBuild(gog.module()), nullptr);

  // One byte off, at the end of cEngine::Run.
  FakePeImage almost({}, 0x9FD000, FakePeMemory::CommitHeadersOnly);
  PlaceSite(almost, 0, SiteId::EngineRun);
  almost.base()[MappingSite(0, SiteId::EngineRun).rva + 23] ^= 0x01;
  EXPECT_EQ(IdentifyBuild(almost.module()), nullptr);
  EXPECT_EQ(IdentifiedBuild(), nullptr);

  // The GOG bytes, but an image too small to hold them.
  FakePeImage small({}, 0x9FD000, FakePeMemory::CommitHeadersOnly);
  PlaceSite(small, 0, SiteId::EngineRun);
  small.ntHeaders()->OptionalHeader.SizeOfImage = 0x318130 + 23;
  EXPECT_EQ(IdentifyBuild(small.module()), nullptr);
}

TEST_F(BuildIdentificationTest, WithoutABuildEverySiteIsRefused) {
  FakePeImage image({}, 0x9FD000, FakePeMemory::CommitHeadersOnly);
  PlaceSite(image, 0, SiteId::EngineRun);
  ClearIdentifiedBuildForTest();
  for (size_t id = 0; id < kSiteCount; ++id) {
    EXPECT_EQ(SiteRva(static_cast<SiteId>(id)), 0u) << "site " << id;
    EXPECT_FALSE(SiteMatches(image.module(), static_cast<SiteId>(id))) << "site " << id;
    EXPECT_EQ(SiteAddress(image.module(), static_cast<SiteId>(id)), nullptr) << "site " << id;
  }
}

}  // namespace

namespace {

// The header reads are guarded like the site bytes: memory that was readable a moment ago and is
// gone (or guarded) now must be refused, not read.
TEST(EntryBytesMemory, MemoryReleasedOrGuardedSinceTheLastCheckIsNotRead) {
  auto* image = new FakePeImage({});
  std::memcpy(image->base() + 0x4000, kSiteBytes, 24);
  const HMODULE module = image->module();
  ASSERT_TRUE(EntryBytesMatch(module, 0x4000, kSiteBytes, 24));
  image->protect(0, kPage, PAGE_READWRITE | PAGE_GUARD);
  EXPECT_FALSE(EntryBytesMatch(module, 0x4000, kSiteBytes, 24));
  image->protect(0, kPage, PAGE_READWRITE);
  ASSERT_TRUE(EntryBytesMatch(module, 0x4000, kSiteBytes, 24));
  delete image;
  EXPECT_FALSE(EntryBytesMatch(module, 0x4000, kSiteBytes, 24));
}

}  // namespace

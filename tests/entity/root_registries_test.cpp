// Host names read through the guarded helpers, classification, and the fixed registries' walks.
#include "entity/root_registries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "entity/entity_counters.h"
#include "entity/entity_runtime.h"
#include "entity/entity_test_host.h"

namespace {

using entity_test::Pose;
using entity_test::TestEntity;

class RootRegistriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    entity_test::UseTestHost();
    MutableEntityFlags() = EntityRuntimeFlags{};
    ClearRootRegistries();
    ZeroEntityCounters();
  }
  void TearDown() override { ClearRootRegistries(); }

  static EntityName Name(const std::string& text) {
    EntityName name;
    CopyEntityName(text.data(), text.size(), &name);
    return name;
  }
  static std::unique_ptr<TestEntity> Make(const std::string& name) {
    return std::make_unique<TestEntity>(name, 2, Pose(0.0f, 1.0f, 2.0f, 3.0f));
  }
};

struct RawHostString {
  uint8_t* data;
  uint64_t size;
  uint64_t capacity;
};

TEST_F(RootRegistriesTest, NamesAreReadInlineOrThroughTheirPointerWithinTheBounds) {
  uint8_t* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  uint8_t* unreadable = page + 4096;
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(unreadable, 4096, PAGE_NOACCESS, &old));
  AdvanceRegionCacheEpoch();
  const std::string text(120, 'n');
  std::memcpy(page + 1024, text.data(), text.size());

  struct Case {
    const char* label;
    bool inlineData;
    uint8_t* pointer;
    uint64_t size;
    uint64_t capacity;
    bool readable;
  };
  const Case cases[] = {
      {"inline", true, nullptr, 4, 15, true},
      {"inline, full buffer", true, nullptr, 15, 15, true},
      {"through the pointer", false, page + 1024, 40, 47, true},
      {"96 bytes", false, page + 1024, 96, 96, true},
      {"97 bytes", false, page + 1024, 97, 97, false},
      {"empty", true, nullptr, 0, 15, false},
      {"capacity below size", false, page + 1024, 40, 39, false},
      {"data unreadable", false, unreadable, 40, 40, false},
      {"data runs off its region", false, unreadable - 8, 40, 40, false},
  };
  for (const Case& c : cases) {
    uint8_t* string = page + 64;
    std::memset(string, 0, 32);
    if (c.inlineData) {
      std::memcpy(string, text.data(), 15);
    } else {
      std::memcpy(string, &c.pointer, sizeof(c.pointer));
    }
    std::memcpy(string + 16, &c.size, 8);
    std::memcpy(string + 24, &c.capacity, 8);
    EntityName name;
    EXPECT_EQ(ReadEntityName(string, &name), c.readable) << c.label;
    EXPECT_EQ(name.length, c.readable ? c.size : 0u) << c.label;
    if (c.readable) EXPECT_EQ(std::string(name.text, name.length), text.substr(0, c.size)) << c.label;
  }
  EntityName name;
  EXPECT_FALSE(ReadEntityName(unreadable, &name)) << "the string itself unreadable";
  EXPECT_FALSE(ReadEntityName(nullptr, &name));
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST_F(RootRegistriesTest, RegistriesDecideTheKindOfOtherwiseUnknownNames) {
  auto lens = Make("Lens");
  auto door = Make("Door");
  auto longName = Make(std::string(97, 'x') + "_Held");
  EntityName name;
  EXPECT_EQ(ClassifyEntity(lens->get(), &name), EntityKind::None);
  EXPECT_EQ(std::string(name.text, name.length), "Lens");
  EXPECT_EQ(ClassifyEntity(longName->get(), &name), EntityKind::None) << "an unreadable name is never held";
  EXPECT_EQ(name.length, 0u);
  EXPECT_EQ(ClassifyEntity(nullptr, &name), EntityKind::None);

  RegisterReadableInspection(lens->get());
  RegisterScripted(door->get(), Pose(0, 0, 0, 0), Name("Door"), 0x10, 0x20);
  EXPECT_EQ(ClassifyEntity(lens->get(), &name), EntityKind::Inspection);
  EXPECT_EQ(ClassifyEntity(door->get(), &name), EntityKind::Scripted);

  lens->SetName("Lens2");
  door->SetName("Door2");
  EXPECT_EQ(ClassifyEntity(lens->get(), &name), EntityKind::None) << "only under the name it was registered with";
  EXPECT_EQ(ClassifyEntity(door->get(), &name), EntityKind::None);
  door->ProtectObject(PAGE_NOACCESS);
  EXPECT_EQ(ClassifyEntity(door->get(), &name), EntityKind::None);
  door->ProtectObject(PAGE_READWRITE);
}

TEST_F(RootRegistriesTest, AFullHeldTableCountsTheOverflowUntilAnEntryStopsBeingHeld) {
  std::vector<std::unique_ptr<TestEntity>> held;
  for (int i = 0; i < 17; ++i) held.push_back(Make("Item" + std::to_string(i) + "_Held"));
  for (auto& e : held) RegisterHeld(e->get(), Pose(0, 0, 0, 0), Name("x_Held"));
  EXPECT_EQ(TheEntityCounters().heldOverflow, 1u);
  EXPECT_EQ(FindHeld(held[16]->get()), nullptr);
  EXPECT_NE(FindHeld(held[15]->get()), nullptr);

  RegisterHeld(held[3]->get(), Pose(0, 5, 0, 0), Name("x_Held"));
  EXPECT_EQ(TheEntityCounters().heldOverflow, 1u) << "a registered entity only updates its slot";
  EXPECT_EQ(TheRootRegistries().held[3].latest.m[3], 5.0f);

  held[5]->SetName("Item5_Dropped");
  RegisterHeld(held[16]->get(), Pose(0, 0, 0, 0), Name("x_Held"));
  EXPECT_EQ(FindHeld(held[16]->get()), &TheRootRegistries().held[5]);
  EXPECT_EQ(FindHeld(held[5]->get()), nullptr);
}

TEST_F(RootRegistriesTest, ScriptedSlotsStartAfreshWhenTheClassOrNameAtTheAddressChanges) {
  auto door = Make("Door");
  RegisterScripted(door->get(), Pose(0, 0, 0, 0), Name("Door"), 0x100, 0x200);
  NamedRootSlot* slot = FindScripted(door->get());
  ASSERT_NE(slot, nullptr);
  PublishTransformHistory(slot->root.history, 1, 1, Pose(0, 0, 0, 0));
  RegisterScripted(door->get(), Pose(0, 1, 0, 0), Name("Door"), 0x104, 0x200);
  EXPECT_EQ(slot->root.history.count, 1u) << "same class and name: the history goes on";
  EXPECT_EQ(slot->callerRva, 0x104u);

  // Another class now lives at the same address.
  RegisterScripted(door->get(), Pose(0, 2, 0, 0), Name("Door"), 0x104, 0x300);
  slot = FindScripted(door->get());
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->root.history.count, 0u);
  EXPECT_EQ(slot->vtableRva, 0x300u);

  // A full table: the overflow is counted until a slot's entity no longer matches what was stored.
  std::vector<std::unique_ptr<TestEntity>> movers;
  for (size_t i = 0; i < kScriptedCapacity; ++i) {
    movers.push_back(Make("Mover" + std::to_string(i)));
    const uint64_t vtable = reinterpret_cast<uintptr_t>(entity_test::TestVtable());
    RegisterScripted(movers.back()->get(), Pose(0, 0, 0, 0), Name("Mover" + std::to_string(i)), 0, vtable);
  }
  EXPECT_EQ(TheEntityCounters().scriptedOverflow, 0u);
  EXPECT_EQ(FindScripted(door->get()), nullptr) << "its stored class no longer matches: its slot was reused";
  auto late = Make("Late");
  RegisterScripted(late->get(), Pose(0, 0, 0, 0), Name("Late"), 0, 0);
  EXPECT_EQ(TheEntityCounters().scriptedOverflow, 1u);
  movers[7]->SetName("Renamed");
  RegisterScripted(late->get(), Pose(0, 0, 0, 0), Name("Late"), 0, 0);
  EXPECT_EQ(FindScripted(late->get()), &TheRootRegistries().scripted[7]);
}

TEST_F(RootRegistriesTest, InspectionRootsEvictTheFirstSlotWhenAllEightAreLive) {
  std::vector<std::unique_ptr<TestEntity>> lenses;
  for (int i = 0; i < 9; ++i) {
    lenses.push_back(Make("Lens" + std::to_string(i)));
    RegisterReadableInspection(lenses.back()->get());
    RegisterInspection(lenses.back()->get(), Pose(0, 0, 0, 0), Name("Lens" + std::to_string(i)), 0, 0);
  }
  EXPECT_EQ(FindInspection(lenses[0]->get()), nullptr);
  EXPECT_EQ(FindInspection(lenses[8]->get()), &TheRootRegistries().inspection[0]);
  EXPECT_EQ(FindInspection(lenses[1]->get()), &TheRootRegistries().inspection[1]);

  // A renamed entity in a slot is stale: the next newcomer takes that slot instead of the first.
  lenses[4]->SetName("Lens4b");
  auto extra = Make("Extra");
  RegisterReadableInspection(extra->get());
  RegisterInspection(extra->get(), Pose(0, 0, 0, 0), Name("Extra"), 0, 0);
  EXPECT_EQ(FindInspection(extra->get()), &TheRootRegistries().inspection[4]);
}

TEST_F(RootRegistriesTest, ReadableInspectionEntriesAreKeptOncePerEntityAndRenamedInPlace) {
  auto lens = Make("Lens");
  auto other = Make("Other");
  auto foreign = Make("Foreign");
  foreign->SetVtable(entity_test::ForeignVtable());
  const ReadableInspectionEntry* table = TheRootRegistries().readable;

  RegisterReadableInspection(other->get());
  RegisterReadableInspection(lens->get());
  RegisterReadableInspection(lens->get());
  EXPECT_EQ(table[1].entity, lens->get());
  EXPECT_EQ(table[2].entity, nullptr) << "the second registration found the first";

  lens->SetName("LensB");
  other->SetName("OtherB");   // stale, and earlier in the table
  RegisterReadableInspection(lens->get());
  EXPECT_EQ(table[1].entity, lens->get()) << "a renamed entity keeps its own entry";
  EXPECT_EQ(std::string(table[1].name.text, table[1].name.length), "LensB");
  EXPECT_EQ(table[0].entity, nullptr) << "the stale entry was cleared on the way";

  RegisterReadableInspection(foreign->get());
  EXPECT_EQ(TheEntityCounters().inspectionOverflow, 1u) << "an unrecognised class is counted, not stored";
}

}  // namespace

namespace {

// What the render apply asks of a slot: the entity's kind and, for a named slot, its stored name.
bool ClassifiedAs(const RootSlot& slot, EntityKind kind, const EntityName* expected) {
  EntityName current;
  return ClassifyEntity(slot.entity, &current) == kind &&
         (expected == nullptr || SameEntityName(current, *expected));
}

}  // namespace

TEST_F(RootRegistriesTest, ASlotStillRegisteredAsItsKindAgreesWithTheFullClassification) {
  auto door = Make("Door");
  auto lens = Make("Lens");
  auto twin = Make("Twin");
  RegisterScripted(door->get(), Pose(0, 0, 0, 0), Name("Door"), 0, EntityVtableRva(door->get()));
  RegisterScripted(twin->get(), Pose(0, 0, 0, 0), Name("Twin"), 0, EntityVtableRva(twin->get()));
  RegisterReadableInspection(lens->get());
  RegisterInspection(lens->get(), Pose(0, 0, 0, 0), Name("Lens"), 0, 0);
  NamedRootSlot& doorSlot = *FindScripted(door->get());
  NamedRootSlot& twinSlot = *FindScripted(twin->get());
  NamedRootSlot& lensSlot = *FindInspection(lens->get());
  const EntityName other = Name("Other");

  const struct {
    const char* label;
    std::function<void()> change;
    const RootSlot* slot;
    EntityKind kind;
    const EntityName* expected;
  } cases[] = {
      {"scripted under its own name", [] {}, &doorSlot.root, EntityKind::Scripted, &doorSlot.name},
      {"scripted, asked as inspection", [] {}, &doorSlot.root, EntityKind::Inspection, &doorSlot.name},
      {"scripted, another expected name", [] {}, &doorSlot.root, EntityKind::Scripted, &other},
      {"scripted, renamed", [&] { door->SetName("Door2"); }, &doorSlot.root, EntityKind::Scripted, &doorSlot.name},
      {"scripted, renamed to a held name", [&] { door->SetName("Door_Held"); }, &doorSlot.root, EntityKind::Scripted,
       &doorSlot.name},
      {"scripted entity also readable inspection", [&] { twin->SetName("Twin"); RegisterReadableInspection(twin->get()); },
       &twinSlot.root, EntityKind::Scripted, &twinSlot.name},
      {"inspection under its own name", [] {}, &lensSlot.root, EntityKind::Inspection, &lensSlot.name},
      {"inspection renamed", [&] { lens->SetName("Lens2"); }, &lensSlot.root, EntityKind::Inspection, &lensSlot.name},
      {"unreadable object", [&] { door->ProtectObject(PAGE_NOACCESS); }, &doorSlot.root, EntityKind::Scripted,
       &doorSlot.name},
  };
  for (const auto& c : cases) {
    door->ProtectObject(PAGE_READWRITE);
    door->SetName("Door");
    lens->SetName("Lens");
    c.change();
    EXPECT_EQ(StillRegisteredAs(*c.slot, c.kind, c.expected), ClassifiedAs(*c.slot, c.kind, c.expected)) << c.label;
  }
  door->ProtectObject(PAGE_READWRITE);
  EXPECT_TRUE(StillRegisteredAs(doorSlot.root, EntityKind::Scripted, &doorSlot.name)) << "the table is not vacuous";
  EXPECT_FALSE(StillRegisteredAs(twinSlot.root, EntityKind::Scripted, &twinSlot.name));

  // A copy of a scripted slot outside the registry is not its own registry entry.
  RootSlot copy = doorSlot.root;
  EXPECT_TRUE(StillRegisteredAs(copy, EntityKind::Scripted, &doorSlot.name));
  ClearNamedRootSlot(doorSlot);
  EXPECT_FALSE(StillRegisteredAs(copy, EntityKind::Scripted, &other));
  EXPECT_EQ(StillRegisteredAs(copy, EntityKind::Scripted, nullptr), ClassifiedAs(copy, EntityKind::Scripted, nullptr));
}

TEST_F(RootRegistriesTest, LiveRootsAreCountedOnlyInTheTables) {
  auto hands = Make("PlayerHands_A");
  auto cup = Make("Cup_Held");
  RootRegistries& r = TheRootRegistries();
  EXPECT_EQ(LiveRootCount(), 0u);
  SetRootSlot(r.hands, hands->get(), Pose(0, 0, 0, 0));
  SetRootSlot(r.hands, hands->get(), Pose(0, 1, 0, 0));   // the same entity again
  RegisterHeld(cup->get(), Pose(0, 0, 0, 0), Name("Cup_Held"));
  EXPECT_EQ(LiveRootCount(), 2u);
  SetRootSlot(r.hands, cup->get(), Pose(0, 0, 0, 0));     // another entity takes the slot
  EXPECT_EQ(LiveRootCount(), 2u);
  RootSlot own;
  SetRootSlot(own, hands->get(), Pose(0, 0, 0, 0));
  EXPECT_EQ(LiveRootCount(), 2u) << "a caller's own slot";
  ClearRootSlot(own);
  RemoveHeld(cup->get());
  ClearRootSlot(r.hands);
  ClearRootSlot(r.hands);
  EXPECT_EQ(LiveRootCount(), 0u);
  RegisterHeld(cup->get(), Pose(0, 0, 0, 0), Name("Cup_Held"));
  ClearRootRegistries();
  EXPECT_EQ(LiveRootCount(), 0u);
}

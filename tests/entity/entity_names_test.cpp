// Entity kinds by name alone, and the fixed name buffers the registries compare.
#include "entity/entity_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

EntityKind Kind(const std::string& name) { return ClassifyEntityName(name.data(), name.size()); }

TEST(EntityNames, KindsByPrefixAndSuffixWithTheFirstRuleWinning) {
  struct Case {
    const char* name;
    EntityKind kind;
  };
  const Case cases[] = {
      {"PlayerHands_Lantern", EntityKind::PlayerHands},
      {"PlayerHands_", EntityKind::PlayerHands},
      {"PlayerHands", EntityKind::None},          // the prefix without its underscore
      {"playerHands_x", EntityKind::None},        // case-sensitive
      {"PlayerBody_Main", EntityKind::PlayerBody},
      {"PlayerBody", EntityKind::None},
      {"Lantern_Held", EntityKind::HeldAccessory},
      {"_Held", EntityKind::HeldAccessory},       // the suffix alone
      {"Held", EntityKind::None},
      {"Hat_Accessory", EntityKind::HeldAccessory},
      {"_Accessory", EntityKind::HeldAccessory},
      {"Hat_accessory", EntityKind::None},
      {"Held_Lantern", EntityKind::None},         // a suffix only counts at the end
      {"PlayerHands_Held", EntityKind::PlayerHands},
      {"PlayerBody_Accessory", EntityKind::PlayerBody},
      {"Door01", EntityKind::None},
      {"", EntityKind::None},
  };
  for (const Case& c : cases) EXPECT_EQ(Kind(c.name), c.kind) << c.name;
}

TEST(EntityNames, CopiesAreCutAtTheBufferAndCompareByLengthAndBytes) {
  const std::string longName(120, 'x');
  EntityName cut;
  CopyEntityName(longName.data(), longName.size(), &cut);
  EXPECT_EQ(cut.length, kEntityNameMax);
  EXPECT_EQ(cut.text[kEntityNameMax], '\0');

  EntityName door;
  EntityName doorway;
  EntityName other;
  CopyEntityName("Door", 4, &door);
  CopyEntityName("Doorway", 7, &doorway);
  CopyEntityName("Dorr", 4, &other);
  EntityName again;
  CopyEntityName("Door", 4, &again);
  EXPECT_TRUE(SameEntityName(door, again));
  EXPECT_FALSE(SameEntityName(door, doorway)) << "a prefix is not the same name";
  EXPECT_FALSE(SameEntityName(door, other));
}

}  // namespace

#include "entity/entity_names.h"

#include <cstring>

namespace {

bool StartsWith(const char* text, size_t length, const char* prefix, size_t prefixLength) {
  return length >= prefixLength && std::memcmp(text, prefix, prefixLength) == 0;
}

bool EndsWith(const char* text, size_t length, const char* suffix, size_t suffixLength) {
  return length >= suffixLength && std::memcmp(text + length - suffixLength, suffix, suffixLength) == 0;
}

}  // namespace

bool SameEntityName(const EntityName& a, const EntityName& b) noexcept {
  return a.length == b.length && std::memcmp(a.text, b.text, a.length) == 0;
}

void CopyEntityName(const char* text, size_t length, EntityName* name) noexcept {
  *name = EntityName{};
  if (text == nullptr) return;
  name->length = length < kEntityNameMax ? length : kEntityNameMax;
  std::memcpy(name->text, text, name->length);
}

EntityKind ClassifyEntityName(const char* text, size_t length) noexcept {
  static constexpr char kHands[] = "PlayerHands_";
  static constexpr char kBody[] = "PlayerBody_";
  static constexpr char kHeld[] = "_Held";
  static constexpr char kAccessory[] = "_Accessory";
  if (text == nullptr || length == 0) return EntityKind::None;
  if (StartsWith(text, length, kHands, sizeof(kHands) - 1)) return EntityKind::PlayerHands;
  if (StartsWith(text, length, kBody, sizeof(kBody) - 1)) return EntityKind::PlayerBody;
  if (EndsWith(text, length, kHeld, sizeof(kHeld) - 1) || EndsWith(text, length, kAccessory, sizeof(kAccessory) - 1))
    return EntityKind::HeldAccessory;
  return EntityKind::None;
}

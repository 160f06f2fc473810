#include "secure/session_keys.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include <gtest/gtest.h>

namespace nevrik {
namespace {

TEST(SessionKeys, FieldsLieInTheDesignedOrder) {
  SessionKeys keys;
  keys.reservedKeyA.fill(1);
  keys.frameKey.fill(2);
  keys.reservedKeyB.fill(3);
  keys.initialCounter.fill(4);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&keys);
  for (std::size_t i = 0; i < sizeof keys; ++i) {
    EXPECT_EQ(bytes[i], i / 16 + 1) << "byte " << i;
  }
}

TEST(SessionKeys, ADestroyedBlockLeavesNoKeyBehind) {
  alignas(SessionKeys) std::uint8_t storage[sizeof(SessionKeys)];
  auto* keys = new (storage) SessionKeys;
  keys->reservedKeyA.fill(0xA1);
  keys->frameKey.fill(0xF2);
  keys->reservedKeyB.fill(0xB3);
  keys->initialCounter.fill(0xC4);
  std::destroy_at(keys);
  EXPECT_TRUE(std::all_of(std::begin(storage), std::end(storage), [](auto b) { return b == 0; }));
}

}  // namespace
}  // namespace nevrik

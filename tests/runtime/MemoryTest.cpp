// Card arrays: transient arrays cleared on reset, moves that free what they replace,
// and every index and range checked.
#include <gtest/gtest.h>

#include "jc/Util.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon {
namespace {

TEST(CardMemory, TransientArraysAreClearedOnResetAndKeepTheirStorage) {
  JCRuntimeImpl runtime;
  EXPECT_EQ(runtime.makeTransientByteArray(0, CLEAR_ON_RESET).data(), nullptr);
  auto bytes = runtime.makeTransientByteArray(16, CLEAR_ON_RESET);
  auto shorts = runtime.makeTransientShortArray(6, CLEAR_ON_DESELECT);
  auto objects = runtime.makeTransientObjectArray(2, CLEAR_ON_RESET);
  EXPECT_EQ(runtime.transientBlockCount(), 3u);
  bytes[15] = 0x42;
  shorts[5] = 0x4242;
  int marker = 0;
  objects[1] = &marker;
  const std::uint8_t* storage = bytes.data();
  runtime.clearResetTransients();  // every runtime block clears on reset
  EXPECT_EQ(bytes[15], 0);
  EXPECT_EQ(shorts[5], 0);
  EXPECT_EQ(objects[1], nullptr);
  EXPECT_EQ(bytes.data(), storage);
  bytes = JCArray<std::uint8_t>();  // releasing an array frees its block
  EXPECT_EQ(runtime.transientBlockCount(), 2u);
}

TEST(JCArrayTest, MovesFreeWhatTheyReplaceAndViewsFreeNothing) {
  JCRuntimeImpl runtime;
  ByteArray a(4, runtime.persistentMemory(), JC_HERE("Test::a"));
  ByteArray b(8, runtime.persistentMemory(), JC_HERE("Test::b"));
  std::uint8_t* bStorage = b.data();
  auto& self = a;
  a = std::move(self);  // assigning an array to itself changes nothing
  EXPECT_EQ(a.length(), 4);
  a = std::move(b);
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);  // a's old storage was freed
  EXPECT_EQ(a.data(), bStorage);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.length(), 0);
  std::uint8_t raw[4] = {1, 2, 3, 4};
  { ByteArray view = ByteArray::view(raw, 4); }
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);
}

TEST(JCArrayTest, IndexesAndRangesAreChecked) {
  JCRuntimeImpl runtime;
  ByteArray a(8, runtime.persistentMemory(), JC_HERE("Test::a"));
  ByteArray b(4, runtime.persistentMemory(), JC_HERE("Test::b"));
  EXPECT_THROW(a[8] = 1, SystemException);
  a.zero(100, 0);  // count 0: nothing, wherever the offset lies
  EXPECT_THROW(a.zero(7, 2), SystemException);
  EXPECT_THROW(a.checkRange(0xFFFFFFFF, 2), SystemException);

  Util::setShort(a, 0, 0x1234);
  Util::setShort(a, 2, 0x5678);
  EXPECT_EQ(Util::getShort(a, 1), 0x3456);
  Util::arrayCopy(a, 0, b, 0, 4);
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), 0);
  b[3] = 0x79;
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), -1);
  EXPECT_EQ(Util::arrayCompare(b, 0, a, 0, 4), 1);
  EXPECT_THROW(Util::arrayCopy(a, 4, b, 1, 4), SystemException);  // destination too short
  EXPECT_THROW(Util::arrayCopy(a, 6, b, 0, 4), SystemException);  // source too short
  EXPECT_EQ(b[1], 0x34);                                          // nothing moved
  EXPECT_THROW(Util::getShort(a, 7), SystemException);
}

}  // namespace
}  // namespace quillon

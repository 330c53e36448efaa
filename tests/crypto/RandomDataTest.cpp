#include <gtest/gtest.h>

#include "CryptoTestSupport.h"
#include "jc/Cipher.h"

namespace quillon {
namespace {

using test::Bytes;
using test::toBytes;

TEST(RandomDataTest, FillsExactlyTheRangeAndRejectsOthers) {
  JCRuntimeImpl runtime;
  RandomData& random = runtime.getRandomData(1);
  EXPECT_EQ(&random, &runtime.getRandomData(7));  // one generator per runtime

  ByteArray eight(8, runtime.persistentMemory(), JC_HERE("RandomDataTest"));
  random.generateData(eight, 0, 8);
  const Bytes first = toBytes(eight);
  random.generateData(eight, 0, 8);
  EXPECT_NE(toBytes(eight), first);  // equal with probability 2^-64
  try {
    random.generateData(eight, 1, 8);
    ADD_FAILURE();
  } catch (const CryptoException& e) {
    EXPECT_EQ(e.getReason(), CryptoException::ILLEGAL_VALUE);
  }

  ByteArray wide(64, runtime.persistentMemory(), JC_HERE("RandomDataTest"));
  random.generateData(wide, 16, 32);
  EXPECT_EQ(toBytes(wide, 0, 16), Bytes(16, 0));
  EXPECT_EQ(toBytes(wide, 48, 16), Bytes(16, 0));
  EXPECT_NE(toBytes(wide, 16, 32), Bytes(32, 0));
  random.generateData(wide, 64, 0);
  EXPECT_THROW(random.generateData(wide, 0xFFFF, 2), CryptoException);

  // Seeds are accepted and ignored, whatever their range.
  random.setSeed(wide, 0xFFFF, 0xFFFF);
}

}  // namespace
}  // namespace quillon

// BER-TLV reading on hostile bytes: length fields of one to three bytes, truncated
// input, tags inside values, and walks that must end.
#include <gtest/gtest.h>

#include <vector>

#include "gids/UtilTLV.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon {
namespace {

using namespace UtilTLV;

class UtilTLVTest : public ::testing::Test {
 protected:
  // A card array holding exactly these bytes.
  ByteArray array(const std::vector<std::uint8_t>& bytes) {
    ByteArray a(static_cast<std::uint16_t>(bytes.size()), runtime.persistentMemory(), JC_HERE("UtilTLVTest"));
    for (std::size_t i = 0; i < bytes.size(); ++i) a[static_cast<std::uint16_t>(i)] = bytes[i];
    return a;
  }
  // A 512-byte command buffer with `data` at offset 5; the size of the data object it starts.
  std::uint16_t objectSize(std::vector<std::uint8_t> data, std::size_t fill, std::uint16_t received) {
    data.resize(std::max(data.size(), fill), 0xAB);
    std::vector<std::uint8_t> bytes(512, 0);
    bytes[4] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + 5);
    return getCommandDataObjectSize(array(bytes), received);
  }
  JCRuntimeImpl runtime;
};

TEST_F(UtilTLVTest, LengthFieldsOfOneTwoAndThreeBytes) {
  EXPECT_EQ(decodeLengthField(array({0x05}), 0), 5);
  EXPECT_EQ(decodeLengthField(array({0x81, 0xFF}), 0), 255);
  EXPECT_EQ(decodeLengthField(array({0x82, 0x01, 0x00}), 0), 256);
  EXPECT_EQ(getLengthFieldLength(array({0x82}), 0), 3);
  EXPECT_THROW(decodeLengthField(array({0x00}), 0), InvalidArgumentsException);
  EXPECT_THROW(decodeLengthField(array({0x82, 0x01}), 0), SystemException);  // truncated
  EXPECT_EQ(getValueLength(array({0x53, 0x82, 0x01, 0x2C}), 0, 4), 300);
  EXPECT_EQ(getValueLength(array({0x53, 0x83, 0x01, 0x00, 0x00}), 0, 5), 0);
  EXPECT_THROW(getValueLength(array({0xDF}), 0, 1), SystemException);
}

TEST_F(UtilTLVTest, FindTagSearchesOnlyTheTopLevelAndEnds) {
  const auto data = array({0x84, 0x01, 0x80, 0xA5, 0x03, 0x87, 0x01, 0x00});
  EXPECT_EQ(findTag(data, 0, 8, 0xA5), 3);
  EXPECT_THROW(findTag(data, 0, 8, 0x87), NotFoundException);  // inside A5's value
  EXPECT_EQ(findTag(data, 5, 3, 0x87), 5);
  EXPECT_THROW(findTag(data, 0, 1, 0x84), NotFoundException);  // length 1: nothing read
  EXPECT_THROW(findTag(array({0x84, 0x00, 0xA5, 0x01, 0x00}), 0, 5, 0xA5), InvalidArgumentsException);
  EXPECT_THROW(findTag(array({0x84, 0x05, 0x00}), 0, 9, 0xA5), SystemException);  // runs past the array

  // 82 FF FC steps exactly 65536 bytes: with 16-bit positions the walk would stand still.
  std::vector<std::uint8_t> bytes{0x30, 0x82, 0xFF, 0xFC};
  bytes.resize(600, 0x01);
  const auto loop = array(bytes);
  EXPECT_THROW(findTag(loop, 0, 600, 0xA5), NotFoundException);
  EXPECT_FALSE(isTLVConsistent(loop, 0, 600));
}

TEST_F(UtilTLVTest, ConsistencyMeansExactlyASequenceOfElements) {
  const auto data = array({0x80, 0x01, 0x06, 0x83, 0x01, 0x80});
  EXPECT_TRUE(isTLVConsistent(data, 0, 6));
  EXPECT_FALSE(isTLVConsistent(data, 0, 5));
  EXPECT_FALSE(isTLVConsistent(array({0x80, 0x00}), 0, 2));
  EXPECT_FALSE(isTLVConsistent(array({0x80, 0x05, 0x00}), 0, 3));  // the value runs past the range
  EXPECT_THROW(isTLVConsistent(array({0x80, 0x01, 0x00, 0x81}), 0, 6), SystemException);  // index errors pass
}

TEST_F(UtilTLVTest, CommandDataObjectSizes) {
  EXPECT_EQ(objectSize({0xDF, 0x20, 0x10}, 19, 24), 19);
  EXPECT_EQ(objectSize({0xDF, 0x1F, 0x81, 0x8D}, 145, 150), 145);
  EXPECT_EQ(objectSize({0x53, 0x82, 0x01, 0x00}, 200, 205), 260);   // arrives over a chain
  EXPECT_EQ(objectSize({0xDF, 0x20, 0x10}, 11, 16), 0);             // short of its length
  EXPECT_EQ(objectSize({0xDF, 0x23, 0x00}, 3, 8), 3);               // empty value
  EXPECT_EQ(objectSize({0x53, 0x83, 0x01, 0x00, 0x00}, 5, 10), 0);  // 3 length bytes
  EXPECT_EQ(objectSize({0x53, 0x82, 0x01}, 3, 8), 0);               // length bytes cut
}

TEST_F(UtilTLVTest, TagEqualityWithMultiByteTags) {
  const auto data = array({0xDF, 0x20, 0x10, 0x5C, 0x01});
  EXPECT_TRUE(isTagEqual(data, 0, 5, array({0xDF, 0x20})));
  EXPECT_FALSE(isTagEqual(data, 0, 5, array({0xDF, 0x21})));
  EXPECT_TRUE(isTagEqual(data, 3, 5, array({0x5C})));         // single byte: nothing further looked at
  EXPECT_FALSE(isTagEqual(data, 0, 1, array({0xDF, 0x20})));  // the tag runs past the end
  EXPECT_FALSE(isTagEqual(array({0x5F, 0x81, 0x03, 0x00}), 0, 4, array({0x5F, 0x81, 0x02})));
}

}  // namespace
}  // namespace quillon

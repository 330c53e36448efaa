// GET DATA and PUT DATA on data-object files: the record rules, capacity, long
// answers through GET RESPONSE, chained PUT DATA, and pending answers dropped.
#include <string>

#include "gids/BerTlvFile.h"
#include "gids/GidsFileSystem.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

std::string hexByte(std::size_t b) { return toHex({static_cast<std::uint8_t>(b)}); }

class DataObjectTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    ASSERT_EQ(sw("002000800431323334"), 0x9000);  // most files need the PIN for writing
  }
  BerTlvFile& file(std::uint16_t id) { return *static_cast<BerTlvFile*>(applet->files().findFile(id, 1)); }
  std::uint8_t recordTag(std::uint16_t id, std::size_t i) {
    return file(id).children[static_cast<std::uint32_t>(i)]->data[1];
  }
};

TEST_F(DataObjectTest, RecordRules) {
  // The personalised file: its records DF21, DF22, DF23 and DF20 in order, concatenated.
  EXPECT_EQ(send("00CBA010025C00").data,
            "DF21086D73637000000000DF2206000000000000DF2300DF2010000102030405060708090A0B0C0D0E0F");
  const std::size_t before = file(0xA010).childCount;
  EXPECT_EQ(sw("00DBA01007DF240411111111"), 0x9000);  // append
  EXPECT_EQ(file(0xA010).childCount, before + 1);
  EXPECT_EQ(sw("00DBA01007DF240422222222"), 0x9000);  // same length: overwritten in place
  EXPECT_EQ(send("00CBA010045C02DF24").data, "DF240422222222");
  EXPECT_EQ(recordTag(0xA010, before), 0x24);
  EXPECT_EQ(file(0xA010).childCount, before + 1);

  EXPECT_EQ(sw("00DBA0100BDF21086D73637000000000"), 0x9000);  // DF21 rewritten in place: stays first
  EXPECT_EQ(recordTag(0xA010, 0), 0x21);
  EXPECT_EQ(sw("00DBA01007DF21046D736370"), 0x9000);  // another length: replaced, moves to the end
  EXPECT_EQ(recordTag(0xA010, file(0xA010).childCount - 1), 0x21);
  EXPECT_EQ(send("00CBA010045C02DF21").data, "DF21046D736370");

  // An empty object erases its tag; a non-empty one is appended again.
  EXPECT_EQ(sw("00DBA01003DF2300"), 0x9000);
  EXPECT_EQ(sw("00CBA010045C02DF23"), 0x6A88);
  EXPECT_EQ(sw("00DBA01004DF230199"), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF23").data, "DF230199");
}

TEST_F(DataObjectTest, RefusalsAndThirtyOneObjectsDoNotFit) {
  EXPECT_EQ(sw("00CBA010045C02DF24"), 0x6A88);
  EXPECT_EQ(sw("00CBA01003DF2100"), 0x6984);  // no 5C list
  EXPECT_EQ(sw("00CBFFFF045C02DF21"), 0x6A86);
  EXPECT_EQ(sw("00CBA0FF045C02DF21"), 0x6A82);
  EXPECT_EQ(sw("00CBB080045C02DF21"), 0x6981);  // the key file is no data-object file
  EXPECT_EQ(sw("00CBA013025C00"), 0x6985);      // an empty file has nothing to send
  EXPECT_EQ(sw("00A4000C023FFF"), 0x9000);
  EXPECT_EQ(sw("00CB0000045C02DF21"), 0x6981);  // no current EF
  EXPECT_EQ(sw("00A4000C02A011"), 0x9000);
  EXPECT_EQ(sw("00CB0000025C00"), 0x6982);          // A011 is never readable (condition FF)
  EXPECT_EQ(sw("00DBA01102DF24"), 0x6984);          // object size cannot be worked out
  EXPECT_EQ(sw("00DBA01006DF26815F0102"), 0x6984);  // below 240 bytes a shortfall is refused ...
  EXPECT_EQ(sw("00DBA01006DF2681F00102"), 0x9000);  // ... above, what is missing stays zero
  const Response r = send("00CBA010045C02DF2600");
  EXPECT_EQ(r.data.size(), 2u * 244);
  EXPECT_EQ(r.data.substr(0, 12) + r.data.substr(r.data.size() - 4), "DF2681F001020000");

  for (int i = 0; i < 30; ++i) ASSERT_EQ(sw("00DBA01304DF" + hexByte(0x40 + i) + "0100"), 0x9000) << i;
  EXPECT_EQ(sw("00DBA01304DF700100"), 0x6A84);
  // A file of exactly 30 records answers whole, reading nothing past its list.
  const Response whole = send("00CBA013025C00");
  EXPECT_EQ(whole.sw, 0x9000);
  EXPECT_EQ(whole.data.size(), 2u * 30 * 4);
}

TEST_F(DataObjectTest, LongAnswersComeInPiecesWithGetResponse) {
  // 600 bytes in one record (DF24 82 0253 and 595 value bytes), sent as a chain of 250 + 250 + 100.
  std::string data = "DF24820253";
  for (int i = 0; i < 595; ++i) data += hexByte(i & 0xFF);
  EXPECT_EQ(sw("10DBA010FA" + data.substr(0, 500)), 0x9000);
  EXPECT_EQ(sw("10DBA010FA" + data.substr(500, 500)), 0x9000);
  EXPECT_EQ(sw("00DBA01064" + data.substr(1000)), 0x9000);
  Response r = send("00CBA010045C02DF2400");
  EXPECT_EQ(r.sw, 0x6100);
  std::string all = r.data;
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x6158);
  all += r.data;
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x9000);
  EXPECT_EQ(all + r.data, data);
  EXPECT_EQ(sw("00C0000000"), 0x6985);  // nothing left

  // A record list of 100 + 300 bytes gives 256 and 144.
  ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
  ASSERT_EQ(sw("00E000000E620C8201398302A0208C03033000"), 0x9000);
  ASSERT_EQ(sw("0044000000"), 0x9000);
  const std::string hundred = "DF3061" + std::string(97 * 2, 'A');
  const std::string threeHundred = "DF31820127" + std::string(295 * 2, 'B');
  ASSERT_EQ(sw("00DBA02064" + hundred), 0x9000);
  ASSERT_EQ(sw("10DBA020FF" + threeHundred.substr(0, 255 * 2)), 0x9000);
  ASSERT_EQ(sw("00DBA0202D" + threeHundred.substr(255 * 2)), 0x9000);
  r = send("00CBA020025C00");
  EXPECT_EQ(r.sw, 0x6190);
  EXPECT_EQ(readAll(runtime, r).data, hundred + threeHundred);
}

TEST_F(DataObjectTest, ChainedPutDataRulesAndPendingAnswersDropped) {
  // Another command drops a pending answer.
  ASSERT_EQ(sw("10DBA010FF DF24820154" + std::string(250 * 2, 'C')), 0x9000);
  ASSERT_EQ(sw("00DBA0105A" + std::string(0x5A * 2, 'D')), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x6159);
  EXPECT_EQ(sw("00CBA010045C02DF21"), 0x9000);
  EXPECT_EQ(sw("00C0000000"), 0x6985);
  // A record answer is dropped the same way, so a later change to the file is safe.
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x6159);
  EXPECT_EQ(sw("00DBA01003DF2400"), 0x9000);
  EXPECT_EQ(sw("00C0000000"), 0x6985);

  // A 300-byte object in two commands; the second carries one byte too many.
  const std::string first = "10DBA010FF DF24820127" + std::string(250 * 2, 'E');
  ASSERT_EQ(sw(first), 0x9000);
  EXPECT_EQ(sw("00DBA0102E" + std::string(0x2E * 2, 'F')), 0x6984);
  // Another instruction or file in the middle of a chain is refused; the chain goes on.
  ASSERT_EQ(sw(first), 0x9000);
  EXPECT_EQ(sw("00CBA010045C02DF24"), 0x6884);
  EXPECT_EQ(sw("00DBA01103DF2500"), 0x6900);
  EXPECT_EQ(sw("00DBA0102D" + std::string(0x2D * 2, 'F')), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x612C);
  // A chain that ends short leaves zeros and answers 6984.
  ASSERT_EQ(sw("10DBA010FF DF25820127" + std::string(250 * 2, '1')), 0x9000);
  EXPECT_EQ(sw("00DBA01002 2222"), 0x6984);
}

}  // namespace
}  // namespace quillon::test

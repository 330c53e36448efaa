// GET DATA and PUT DATA on data-object files, long answers and chained PUT DATA.
#include <string>

#include "CardFixture.h"
#include "base/Hex.h"
#include "gids/BerTlvFile.h"
#include "gids/GidsFileSystem.h"

namespace quillon::test {
namespace {

class DataObjectTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    ASSERT_EQ(sw("002000800431323334"), 0x9000);  // most files need the PIN for writing
  }

  BerTlvFile& file(std::uint16_t id) {
    return *static_cast<BerTlvFile*>(applet->files().findFile(id, 1));
  }
  // A PUT DATA into A010 of tag DF<tag> with `length` value bytes of `fill`.
  static std::string putObject(std::uint8_t tag, std::size_t length, std::uint8_t fill, const char* cla = "00") {
    std::string value(length * 2, '0');
    const std::string byte = hex::encode({&fill, 1});
    for (std::size_t i = 0; i < length; ++i) value.replace(i * 2, 2, byte);
    const std::uint8_t header[] = {0xDF, tag, static_cast<std::uint8_t>(length)};
    const std::uint8_t lc = static_cast<std::uint8_t>(3 + length);
    return std::string(cla) + "DBA010" + hex::encode({&lc, 1}) + hex::encode(header) + value;
  }
  std::size_t records(std::uint16_t id) { return file(id).childCount; }
};

TEST_F(DataObjectTest, PersonalisedObjectsReadBack) {
  EXPECT_EQ(send("00CBA010045C02DF21").data, "DF21086D73637000000000");
  EXPECT_EQ(send("00CBA012045C02DF20").data, std::string("DF2010") + kSerial);
  const Response master = send("00CBA000045C02DF1F00");
  EXPECT_EQ(master.sw, 0x9000);
  EXPECT_EQ(master.data.size(), 2u * 145);
  EXPECT_EQ(master.data.substr(0, 12), "DF1F818D016D");
  // The whole file: its records in order, concatenated.
  EXPECT_EQ(send("00CBA010025C00").data,
            "DF21086D73637000000000" "DF2206000000000000" "DF2300" "DF2010000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(send("00CBA010035C015C").data.size(), 2u * (11 + 9 + 3 + 19));
}

TEST_F(DataObjectTest, RecordRules) {
  const std::size_t before = records(0xA010);
  EXPECT_EQ(sw(putObject(0x24, 4, 0x11)), 0x9000);  // append
  EXPECT_EQ(records(0xA010), before + 1);
  EXPECT_EQ(sw(putObject(0x24, 4, 0x22)), 0x9000);  // same length: overwritten in place
  EXPECT_EQ(send("00CBA010045C02DF24").data, "DF240422222222");
  EXPECT_EQ(file(0xA010).children[static_cast<std::uint32_t>(before)]->data[3], 0x22);

  EXPECT_EQ(sw("00DBA0100BDF21086D73637000000000"), 0x9000);  // DF21 rewritten in place: stays first
  EXPECT_EQ(file(0xA010).children[0]->data[1], 0x21);
  EXPECT_EQ(sw("00DBA01007DF21046D736370"), 0x9000);  // another length: replaced, moves to the end
  EXPECT_EQ(file(0xA010).children[static_cast<std::uint32_t>(records(0xA010) - 1)]->data[1], 0x21);
  EXPECT_EQ(send("00CBA010045C02DF21").data, "DF21046D736370");

  // An empty object for a tag stored empty erases it; a non-empty one is appended again.
  EXPECT_EQ(sw("00DBA01003DF2300"), 0x9000);
  EXPECT_EQ(sw("00CBA010045C02DF23"), 0x6A88);
  EXPECT_EQ(sw("00DBA01004DF230199"), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF23").data, "DF230199");
}

TEST_F(DataObjectTest, GetDataRefusals) {
  EXPECT_EQ(sw("00CBA010045C02DF24"), 0x6A88);
  EXPECT_EQ(sw("00CBA01003DF2100"), 0x6984);  // no 5C list
  EXPECT_EQ(sw("00CBFFFF045C02DF21"), 0x6A86);
  EXPECT_EQ(sw("00CBA0FF045C02DF21"), 0x6A82);
  EXPECT_EQ(sw("00CBB080045C02DF21"), 0x6981);  // the key file is no data-object file
  EXPECT_EQ(sw("00A4000C023FFF"), 0x9000);
  EXPECT_EQ(sw("00CB0000045C02DF21"), 0x6981);  // no current EF
  EXPECT_EQ(sw("00A4000C02A011"), 0x9000);
  EXPECT_EQ(sw("00CB0000025C00"), 0x6982);  // A011 is never readable (condition FF)
  EXPECT_EQ(sw("00DBA00003DF2400"), 0x9000);
  EXPECT_EQ(sw("00DBA01102DF24"), 0x6984);  // object size cannot be worked out
}

TEST_F(DataObjectTest, EmptyFileHasNothingToSend) {
  EXPECT_EQ(sw("00CBA013025C00"), 0x6985);
}

TEST_F(DataObjectTest, ThirtyOneObjectsDoNotFit) {
  // A014 needs the administrator; A013 holds nothing yet and takes the PIN-or-admin condition (30).
  for (int i = 0; i < 30; ++i) {
    const std::uint8_t tag = static_cast<std::uint8_t>(0x40 + i);
    const std::string command = "00DBA01304DF" + hex::encode({&tag, 1}) + "0100";
    ASSERT_EQ(sw(command), 0x9000) << i;
  }
  EXPECT_EQ(records(0xA013), 30u);
  EXPECT_EQ(sw("00DBA01304DF700100"), 0x6A84);
  // A file of exactly 30 records answers whole, reading nothing past its list.
  const Response whole = send("00CBA013025C00");
  EXPECT_EQ(whole.sw, 0x9000);
  EXPECT_EQ(whole.data.size(), 2u * 30 * 4);
}

TEST_F(DataObjectTest, LongAnswersComeInPiecesWithGetResponse) {
  // 600 bytes in one record (DF24 82 0253: 595 value bytes): 256, 256 and 88 bytes.
  std::string data = "DF24820253";
  for (int i = 0; i < 595; ++i) {
    const auto b = static_cast<std::uint8_t>(i);
    data += hex::encode({&b, 1});
  }
  // Send it as a chain: 250 + 250 + 100 bytes.
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(hex::decode(data, bytes));
  ASSERT_EQ(bytes.size(), 600u);
  auto chunk = [&](std::size_t from, std::size_t n, bool last) {
    const std::uint8_t lc = static_cast<std::uint8_t>(n);
    return std::string(last ? "00" : "10") + "DBA010" + hex::encode({&lc, 1}) + hex::encode({bytes.data() + from, n});
  };
  EXPECT_EQ(sw(chunk(0, 250, false)), 0x9000);
  EXPECT_EQ(sw(chunk(250, 250, false)), 0x9000);
  EXPECT_EQ(sw(chunk(500, 100, true)), 0x9000);

  Response r = send("00CBA010045C02DF2400");
  EXPECT_EQ(r.sw, 0x6100);
  std::string all = r.data;
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x6158);
  all += r.data;
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x9000);
  all += r.data;
  EXPECT_EQ(all, data);
  EXPECT_EQ(sw("00C0000000"), 0x6985);  // nothing left

  // The same bytes from a record list: 100 + 300 bytes give 256 and 144.
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
  EXPECT_EQ(r.data.size(), 2u * 256);
  const Response rest = send("00C0000000");
  EXPECT_EQ(rest.sw, 0x9000);
  EXPECT_EQ(r.data + rest.data, hundred + threeHundred);
}

TEST_F(DataObjectTest, AnotherCommandDropsAPendingAnswer) {
  const std::string big = "10DBA010FF" "DF24820154" + std::string(250 * 2, 'C');
  ASSERT_EQ(sw(big), 0x9000);
  ASSERT_EQ(sw("00DBA0105A" + std::string(0x5A * 2, 'D')), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x6159);
  EXPECT_EQ(sw("00CBA010045C02DF21"), 0x9000);
  EXPECT_EQ(sw("00C0000000"), 0x6985);
  // A record answer is dropped the same way, so a later change to the file is safe.
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x6159);
  EXPECT_EQ(sw("00DBA01003DF2400"), 0x9000);
  EXPECT_EQ(sw("00C0000000"), 0x6985);
}

TEST_F(DataObjectTest, ChainedPutDataRules) {
  // 300-byte object in two commands; the second carries too much.
  const std::string first = "10DBA010FF" "DF24820127" + std::string(250 * 2, 'E');
  ASSERT_EQ(sw(first), 0x9000);
  EXPECT_EQ(sw("00DBA0102E" + std::string(0x2E * 2, 'F')), 0x6984);  // 46 bytes where 45 are missing

  // A command of another instruction in the middle of a chain is refused; the chain goes on.
  ASSERT_EQ(sw(first), 0x9000);
  EXPECT_EQ(sw("00CBA010045C02DF24"), 0x6884);
  EXPECT_EQ(sw("00DBA01103DF2500"), 0x6900);  // other P1 P2
  EXPECT_EQ(sw("00DBA0102D" + std::string(0x2D * 2, 'F')), 0x9000);
  EXPECT_EQ(send("00CBA010045C02DF2400").sw, 0x612C);

  // A chain that ends short leaves zeros and answers 6984.
  ASSERT_EQ(sw("10DBA010FF" "DF25820127" + std::string(250 * 2, '1')), 0x9000);
  EXPECT_EQ(sw("00DBA01002" "2222"), 0x6984);
}

TEST_F(DataObjectTest, LargeSingleCommandKeepsZerosForWhatIsMissing) {
  EXPECT_EQ(sw("00DBA01006DF2681F00102"), 0x9000);  // announces 244 bytes, carries 6
  const Response r = send("00CBA010045C02DF2600");
  EXPECT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.substr(0, 12), "DF2681F00102");
  EXPECT_EQ(r.data.size(), 2u * 244);
  EXPECT_EQ(sw("00DBA01006DF26815F0102"), 0x6984);  // below 240 the shortfall is refused
}

}  // namespace
}  // namespace quillon::test

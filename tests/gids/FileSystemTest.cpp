// SELECT, CREATE FILE, ACTIVATE FILE, DELETE FILE, TERMINATE DF and the access rules.
#include <cstdio>

#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr const char* kRootFci = "61124F0BA00000039742544659020173034001C0";  // AID, then discretionary data

class FileSystemTest : public CardFixture {
 protected:
  // CREATE FILE of a data-object file with this identifier and security attributes.
  std::uint16_t create(std::uint16_t id, const char* attributes = "033000") {
    char command[64];
    std::snprintf(command, sizeof command, "00E000000E620C8201398302%04X8C03%s", id, attributes);
    return sw(command);
  }
  // Creates and activates each file from the application.
  void createActive(std::initializer_list<std::uint16_t> ids, const char* attributes = "033000") {
    for (std::uint16_t id : ids) {
      ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
      ASSERT_EQ(create(id, attributes), 0x9000);
      ASSERT_EQ(sw("0044000000"), 0x9000);
    }
  }
  GidsFileSystem& fs() { return applet->files(); }
};

TEST_F(FileSystemTest, SelectByNameAndByIdentifier) {
  EXPECT_EQ(send("00A4040409A0000003974254465900").data, "62088201388C03033030");  // FCP
  EXPECT_EQ(send("00A4040009A0000003974254465900").data, kRootFci);
  EXPECT_EQ(send("00A4040809A0000003974254465900").data, "64095F2F01607F65028000");
  // Any contiguous piece of the identifier, even an empty one, names the application.
  EXPECT_EQ(send("00A4040C03974254").sw, 0x9000);
  EXPECT_EQ(send("00A4040000").data, kRootFci);
  EXPECT_EQ(sw("00A4040C03974255"), 0x6A82);
  EXPECT_EQ(sw("00A4040C0CA00000039742544659020100"), 0x6A82);  // longer than the identifier

  EXPECT_EQ(send("00A4000000").data, kRootFci);
  EXPECT_EQ(sw("00A4010C023FFF"), 0x6A86);
  EXPECT_EQ(sw("00A4000102A000"), 0x6A86);  // P2 bit outside 0C: refused before anything
  EXPECT_EQ(sw("00A4000C02A000"), 0x6A82);
  EXPECT_EQ(sw("00A4000C01A0"), 0x6700);  // an identifier is two bytes
  EXPECT_EQ(sw("00A4000C03A00000"), 0x6700);
  ASSERT_EQ(create(0xA000), 0x9000);
  ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
  // A data-object file has no FCI: selected, then refused; it stays current.
  EXPECT_EQ(sw("00A4000002A000"), 0x6A86);
  EXPECT_EQ(fs().getCurrentEF()->fileID, 0xA000);
  EXPECT_EQ(send("00A4000402A000").data, "620C8201398302A0008C03033000");
}

TEST_F(FileSystemTest, CreateFileValidatesTheTemplateAndActivationEndsCreation) {
  EXPECT_EQ(create(0xA000), 0x9000);
  EXPECT_EQ(fs().getCurrentEF()->state, STATE_CREATION);
  EXPECT_EQ(sw("00CBA000045C02DF20"), 0x6985);  // creation state: only activation
  EXPECT_EQ(sw("00E4000000"), 0x6985);
  EXPECT_EQ(sw("0044010000"), 0x6A86);
  EXPECT_EQ(sw("0044000000"), 0x9000);
  EXPECT_EQ(sw("00CBA000045C02DF20"), 0x6A88);
  EXPECT_EQ(create(0xA000), 0x6984);                                  // identifier in use
  EXPECT_EQ(create(0x3F00), 0x6984);                                  // the application's own
  EXPECT_EQ(sw("00E000000F620C8201398302A0018C0303300000"), 0x6984);  // Lc one larger than the template
  EXPECT_EQ(sw("00E000000E630C8201398302A0018C03033000"), 0x6984);    // not an FCP
  EXPECT_EQ(sw("00E000000E620C8201388302A0018C03033000"), 0x6984);    // a DF
  EXPECT_EQ(sw("00E000000B62098201398C03033000"), 0x6984);            // no identifier
  EXPECT_EQ(sw("00E000000962078201398302A001"), 0x6984);              // no security attributes
  EXPECT_EQ(sw("00E000000E620C82013983 03A0018C02033000"), 0x6984);   // malformed TLVs
  EXPECT_EQ(sw("00E001000E620C8201398302A0018C03033000"), 0x6A86);
  // A key file needs a control reference template of at least 11 bytes.
  EXPECT_EQ(sw("00E000001C621A82011883 02B0808C04870020FFA50BA4098001028301809501C0"), 0x9000);
  EXPECT_EQ(sw("00E000001B621982011883 02B0818C04870020FFA50AA40880010283018095 01"), 0x6984);
  EXPECT_EQ(sw("00E000000F620D8201188302B0828C04870020FF"), 0x6984);
}

TEST_F(FileSystemTest, AThirtyFirstChildIsRefused) {
  for (std::uint16_t i = 0; i < 30; ++i) {
    ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
    ASSERT_EQ(create(static_cast<std::uint16_t>(0xA100 + i)), 0x9000) << i;
  }
  ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
  EXPECT_EQ(create(0xA200), 0x6984);
  EXPECT_EQ(fs().childCount, 30);
}

TEST_F(FileSystemTest, DeleteMovesTheLastChildIntoTheHoleAndTerminateDFEndsAll) {
  createActive({0xA000, 0xA001, 0xA002});
  EXPECT_EQ(sw("00A4000C02A001"), 0x9000);
  EXPECT_EQ(sw("00E4000001 00"), 0x6700);  // data is refused
  EXPECT_EQ(sw("00A4000C02A000"), 0x9000);
  EXPECT_EQ(sw("00E4000000"), 0x9000);
  ASSERT_EQ(fs().childCount, 2);
  EXPECT_EQ(fs().children[0]->fileID, 0xA002);
  EXPECT_EQ(fs().children[1]->fileID, 0xA001);
  EXPECT_EQ(fs().getCurrentEF(), nullptr);
  EXPECT_EQ(sw("00E4000000"), 0x6986);  // the application itself

  EXPECT_EQ(sw("00E6000100"), 0x6A86);
  EXPECT_EQ(sw("00E6000000"), 0x9000);  // creation state of the application: no condition
  EXPECT_EQ(fs().state, STATE_TERMINATION);
  EXPECT_EQ(sw("00E6000000"), 0x6285);
  EXPECT_EQ(create(0xA003), 0x6285);
  EXPECT_EQ(sw("0044000000"), 0x6285);
}

TEST_F(FileSystemTest, AccessConditionBytes) {
  const std::uint16_t files[] = {0xA030, 0xA090, 0xA0A0, 0xA040, 0xA012};  // named after their read condition
  for (std::uint16_t id : files) createActive({id}, ("0300" + toHex({static_cast<std::uint8_t>(id)})).c_str());
  ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
  ASSERT_EQ(sw("0024018004 31323334"), 0x9000);
  EXPECT_TRUE(applet->pins().isInInitializationMode());
  activateApplication();  // ends the initialisation phase
  EXPECT_FALSE(applet->pins().isInInitializationMode());
  EXPECT_EQ(create(0xA001), 0x6982);  // the application's condition 30 for creation now applies

  auto read = [&](std::uint16_t id) {
    char command[32];
    std::snprintf(command, sizeof command, "00CB%04X045C02DF20", id);
    return sw(command);
  };
  for (std::uint16_t id : files) EXPECT_EQ(read(id), 0x6982) << id;
  // The user PIN meets 30 and 90 only; interface condition 2 (of 12) is never met here.
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  const std::uint16_t withPin[] = {0x6A88, 0x6A88, 0x6982, 0x6982, 0x6982};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(read(files[i]), withPin[i]) << files[i];
}

}  // namespace
}  // namespace quillon::test

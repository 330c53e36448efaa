// VERIFY, CHANGE REFERENCE DATA and the PIN status query (RESET RETRY COUNTER is
// with the administrator's tests).
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

class PinTest : public CardFixture {};

TEST_F(PinTest, StatusQueryDuringAndAfterInitialisation) {
  EXPECT_EQ(sw("0020008000"), 0x9000);          // no data, initialisation phase
  EXPECT_EQ(sw("002C02800431323334"), 0x6986);  // no reset during initialisation
  EXPECT_EQ(sw("00870000047C028100"), 0x6986);  // nor administrator authentication
  EXPECT_EQ(send("00CB3FFF045C027F71").data, "7F7106970103930103");
  EXPECT_EQ(sw("00CB3FFF045C027F73"), 0x6A88);
  EXPECT_EQ(sw("00CB3FFF045C027F74"), 0x6984);
  EXPECT_EQ(sw("00CB3FFF035C017F"), 0x6984);
  activateApplication();
  EXPECT_EQ(sw("0020008000"), 0x63C3);
}

TEST_F(PinTest, BadLengthsAndReferencesAreNotCountedWrongPinsAre) {
  personalise();
  EXPECT_EQ(sw("0020008003313233"), 0x63C3);
  EXPECT_EQ(sw("002000801131313131313131313131313131313131"), 0x63C3);
  EXPECT_EQ(sw("002001800431323334"), 0x6A86);
  EXPECT_EQ(sw("002000810431323334"), 0x6A88);
  EXPECT_EQ(sw("002000000431323334"), 0x9000);  // reference 00 is the same PIN
  EXPECT_EQ(sw("00CBA0130000"), 0x6984);        // PIN condition met: no 5C list
  EXPECT_EQ(sw("0020008200"), 0x9000);          // logout
  EXPECT_EQ(sw("00CBA013045C02DF20"), 0x6982);

  EXPECT_EQ(sw("002000800431313131"), 0x63C2);
  EXPECT_EQ(sw("002000800431313131"), 0x63C1);
  EXPECT_EQ(sw("002000800431323334"), 0x9000);  // the right PIN restores the counter
  EXPECT_EQ(send("00CB3FFF045C027F72").data, "7F7206970103930103");
  for (std::uint16_t expected : {0x63C2, 0x63C1, 0x63C0}) EXPECT_EQ(sw("002000800431313131"), expected);
  EXPECT_EQ(sw("002000800431323334"), 0x6983);  // blocked: even the right PIN
  EXPECT_EQ(send("00CB3FFF045C027F71").data, "7F7106970100930103");
}

TEST_F(PinTest, ChangeAndSet) {
  personalise();
  EXPECT_EQ(sw("0024008007313233343536 37"), 0x63C3);  // too short for two PINs, not counted
  EXPECT_EQ(sw("00240080083132333435363738"), 0x9000);
  EXPECT_EQ(sw("00CBA013045C02DF20"), 0x6A88);  // validated by the change
  EXPECT_EQ(sw("002000800431323334"), 0x63C2);
  EXPECT_EQ(sw("00240080083131313135353535"), 0x63C1);  // a wrong old PIN is counted
  EXPECT_EQ(sw("0020008200"), 0x9000);

  // P1 01: a new PIN without the old one, only once the PIN was verified.
  EXPECT_EQ(sw("002401800435363738"), 0x6982);
  EXPECT_EQ(sw("002000800435363738"), 0x9000);
  EXPECT_EQ(sw("0024018003353637"), 0x6700);
  EXPECT_EQ(sw("002401800431313131"), 0x9000);
  EXPECT_EQ(sw("002000800431313131"), 0x9000);
  EXPECT_EQ(sw("002402800435363738"), 0x6A86);
}

}  // namespace
}  // namespace quillon::test

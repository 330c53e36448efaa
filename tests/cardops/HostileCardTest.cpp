// A card may answer anything: the real card with one answer replaced must give an
// error Result with a message, never a crash or a read past the answer.
#include <gtest/gtest.h>

#include "CardBuilder.h"
#include "RuntimeChannel.h"
#include "cardops/CardOperations.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

using cardops::Outcome;

enum class Operation { kInfo, kUnblock };

struct Case {
  const char* name;
  std::vector<std::pair<std::string, std::string>> rules;  // command prefix -> answer, hex
  Operation operation;
  const char* message;
};

constexpr const char* kGetMasterFile = "00CBA000045C02DF1F";
constexpr const char* kGetCertificate = "00CBA010045C02DF24";

// A master file whose one record names mscp/kxc00 in A010/DF24.
std::string masterFileWithCertificate() {
  return "DF1F1D01"
         "6D7363700000000000"
         "6B7863303000000000"
         "0000"
         "24DF0000"
         "10A00000"
         "9000";
}

std::string certificateAnswer(const Bytes& content) {
  Bytes answer{0xDF, 0x24, 0x82, static_cast<std::uint8_t>(content.size() >> 8),
               static_cast<std::uint8_t>(content.size())};
  answer.insert(answer.end(), content.begin(), content.end());
  return toHex(answer) + "9000";
}

class HostileCardTest : public CardFixture {
 protected:
  void SetUp() override { personalise(); }

  cardops::Result run(const Case& c) {
    RuntimeChannel channel(runtime);
    for (const auto& [prefix, answer] : c.rules) channel.replace(fromHex(prefix), fromHex(answer));
    if (c.operation == Operation::kInfo) {
      cardops::CardInfo info;
      return cardops::readCardInfo(channel, info);
    }
    const Bytes key = fromHex(kAdminKey);
    return cardops::unblockPin(channel, ossl::SecureBytes(key.begin(), key.end()),
                               ossl::SecureBytes{'5', '5', '5', '5'});
  }
};

TEST_F(HostileCardTest, MalformedAnswersAreErrors) {
  const ossl::PkeyPtr key = generateRsa(1024);
  Bytes wrongLength = compressCertificate(makeCertificate(key.get(), key.get(), "x", 1));
  ++wrongLength[2];
  const std::string cert = "The card's certificate kxc00 ";
  const Case cases[] = {
      {"no GIDS application", {{"00A40400", "6A82"}}, Operation::kInfo, "The card holds no GIDS application."},
      {"serial cut short",
       {{"00CBA012",
         "DF2010001122334455"
         "9000"}},
       Operation::kInfo,
       "The card gave a malformed answer when reading the serial number."},
      {"serial of another tag",
       {{"00CBA012",
         "DF210100"
         "9000"}},
       Operation::kInfo,
       "The card gave a malformed answer when reading the serial number."},
      {"bytes after the serial",
       {{"00CBA012",
         "DF2001AABB"
         "9000"}},
       Operation::kInfo,
       "The card gave a malformed answer when reading the serial number."},
      {"length field beyond the answer",
       {{"00CBA012",
         "DF2082FFFF00"
         "9000"}},
       Operation::kInfo,
       "The card gave a malformed answer when reading the serial number."},
      {"serial refused",
       {{"00CBA012", "6F00"}},
       Operation::kInfo,
       "The card failed when reading the serial number (status 6F00)."},
      {"endless answer",
       {{"00CBA012", "61FF"}, {"00C0", std::string(510, 'A') + "61FF"}},
       Operation::kInfo,
       "The card failed when reading the serial number (status 6F00)."},
      {"container map record cut short",
       {{"00CBA010045C02DF23", "DF2355" + std::string(170, '4') + "9000"}},
       Operation::kInfo,
       "The card's container map is damaged (a record is cut short)."},
      {"container name not UTF-16",
       {{"00CBA010045C02DF23", "DF235600D8" + std::string(168, '1') + "9000"}},
       Operation::kInfo,
       "The card's container map is damaged (a container name is not valid text)."},
      {"master file of another version",
       {{kGetMasterFile,
         "DF1F0102"
         "9000"}},
       Operation::kInfo,
       "The card's master file is damaged."},
      {"master file record cut short",
       {{kGetMasterFile,
         "DF1F0A01"
         "6D7363700000000000"
         "9000"}},
       Operation::kInfo,
       "The card's master file is damaged."},
      {"master file tag beyond 16 bits",
       {{kGetMasterFile,
         "DF1F1D01"
         "6D7363700000000000"
         "6B7863303000000000"
         "0000"
         "24DF0100"
         "10A00000"
         "9000"}},
       Operation::kInfo,
       "The card's master file is damaged."},
      {"certificate not zlib",
       {{kGetMasterFile, masterFileWithCertificate()},
        {kGetCertificate,
         "DF240801001000DEADBEEF"
         "9000"}},
       Operation::kInfo,
       "The card's certificate kxc00 is damaged (its compressed data do not inflate to the stated length)."},
      {"certificate of the wrong stated length",
       {{kGetMasterFile, masterFileWithCertificate()}, {kGetCertificate, certificateAnswer(wrongLength)}},
       Operation::kInfo,
       "The card's certificate kxc00 is damaged (its compressed data do not inflate to the stated length)."},
      {"certificate not X.509",
       {{kGetMasterFile, masterFileWithCertificate()},
        {kGetCertificate, certificateAnswer(compressCertificate(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}))}},
       Operation::kInfo,
       "The card's certificate kxc00 is not a valid X.509 certificate."},
      {"certificate answer cut short",
       {{kGetMasterFile, masterFileWithCertificate()},
        {kGetCertificate,
         "DF24820100010000"
         "9000"}},
       Operation::kInfo,
       "The card gave a malformed answer when reading certificate kxc00."},
      {"short card challenge",
       {{"00870000147C", "7C12811000112233445566779000"}},
       Operation::kUnblock,
       "The card's challenge for the authentication is not valid."},
      {"card cryptogram of zeros",
       {{"008700002C7C", "7C2A8228" + std::string(80, '0') + "9000"}},
       Operation::kUnblock,
       "The card's answer to the authentication is not valid."},
      {"card cryptogram cut short",
       {{"008700002C7C", "7C2A8228" + std::string(78, '0') + "9000"}},
       Operation::kUnblock,
       "The card's answer to the authentication is not valid."},
      {"key reference refused",
       {{"0022C1A4", "6A88"}},
       Operation::kUnblock,
       "The card failed when authenticating the administrator (status 6A88)."},
  };
  for (const Case& c : cases) {
    const cardops::Result r = run(c);
    EXPECT_EQ(r.outcome, Outcome::kFailed) << c.name;
    EXPECT_EQ(r.message, c.message) << c.name;
  }
}

TEST_F(HostileCardTest, ChannelErrorsAreFailuresWithTheirText) {
  RuntimeChannel channel(runtime);
  channel.failWith(0x80100069);  // SCARD_W_REMOVED_CARD
  cardops::CardInfo info;
  const cardops::Result r = cardops::readCardInfo(channel, info);
  EXPECT_EQ(r.outcome, Outcome::kFailed);
  EXPECT_EQ(r.message.rfind("The card did not answer when selecting the GIDS application: 0x80100069 - ", 0), 0u)
      << r.message;
  EXPECT_EQ(channel.sent, 1);
}

TEST_F(HostileCardTest, UnreadablePinStatusFallsBackToVerify) {
  RuntimeChannel channel(runtime);
  channel.replace(fromHex("00CB3FFF"), fromHex("7F7103970500"
                                               "9000"));
  ASSERT_EQ(sw("002000800439393939"), 0x63C2);
  cardops::CardInfo info;
  ASSERT_EQ(cardops::readCardInfo(channel, info).outcome, Outcome::kDone);
  EXPECT_EQ(info.pinTriesLeft, 2);
}

}  // namespace
}  // namespace quillon::test

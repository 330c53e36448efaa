// readCardInfo over in-memory cards: blank, personalised, and one holding what
// OpenSC wrote after generating a key pair and storing its certificate.
#include <gtest/gtest.h>

#include "RuntimeChannel.h"
#include "cardops/CardOperations.h"
#include "support/ApduSession.h"

namespace quillon::test {
namespace {

using cardops::CardInfo;
using cardops::Outcome;

class CardInfoTest : public CardFixture {
 protected:
  CardInfo read() {
    CardInfo info;
    const cardops::Result r = cardops::readCardInfo(channel, info);
    EXPECT_EQ(r.outcome, Outcome::kDone) << r.message;
    return info;
  }

  RuntimeChannel channel{runtime};
};

TEST_F(CardInfoTest, BlankThenPersonalisedCard) {
  CardInfo info = read();
  EXPECT_TRUE(info.initialisationPhase);
  EXPECT_EQ(info.serial, "");
  personalise();
  info = read();
  EXPECT_FALSE(info.initialisationPhase);
  EXPECT_EQ(info.serial, kSerial);
  EXPECT_EQ(info.pinTriesLeft, 3);
}

// The data objects come from a card of ours after OpenSC 0.23's pkcs11-tool
// --keypairgen and --write-object of a certificate made by openssl req
// (tests/data/cardops); the certificate (799 bytes inflated) takes chained
// PUT DATA and an answer continued by GET RESPONSE.
TEST_F(CardInfoTest, KeyContainerAndCertificateAsOpenScWritesThem) {
  personalise();
  addGeneratedKey(runtime);
  // PUT DATA of whole data objects, chained as OpenSC sends them.
  for (const auto& [file, object] : {std::pair{"A000", "master"}, {"A010", "cmap"}, {"A010", "cert"}})
    ASSERT_EQ(sendChained(runtime, std::string("00DB") + file,
                          readHexFile(std::string("cardops/opensc-") + object + ".hex"), "")
                  .sw,
              0x9000);
  ASSERT_EQ(sw("0020008200"), 0x9000);  // logged out: reading needs no PIN

  const CardInfo info = read();
  ASSERT_EQ(info.containers.size(), 1u);
  EXPECT_EQ(info.containers[0].name, "e2e");
  EXPECT_EQ(info.containers[0].signatureBits, 0u);
  EXPECT_EQ(info.containers[0].keyExchangeBits, 2048u);
  ASSERT_EQ(info.certificates.size(), 1u);
  const cardops::Certificate& c = info.certificates[0];
  EXPECT_EQ(c.file, "kxc00");
  EXPECT_EQ(c.subject, "CN = Quillon end-to-end");
  EXPECT_EQ(c.notAfter, "Dec  9 13:57:55 2026 GMT");
  EXPECT_EQ(c.keyBits, 2048u);
}

}  // namespace
}  // namespace quillon::test

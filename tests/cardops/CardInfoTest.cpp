// readCardInfo over in-memory cards: fresh, blank, and one holding what OpenSC
// wrote after generating a key pair and storing its certificate.
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
  // PUT DATA of a whole data object (tag and length included), chained as OpenSC sends it.
  void putData(const std::string& file, const Bytes& object) {
    ASSERT_EQ(sendChained(runtime, "00DB" + file, object, "").sw, 0x9000);
  }

  RuntimeChannel channel{runtime};
};

TEST_F(CardInfoTest, FreshCardHasSerialFullTriesAndNoContainers) {
  personalise();
  const CardInfo info = read();
  EXPECT_EQ(info.serial, kSerial);
  EXPECT_EQ(info.pinTriesLeft, 3);
  EXPECT_FALSE(info.pinBlocked);
  EXPECT_FALSE(info.initialisationPhase);
  EXPECT_TRUE(info.containers.empty());
  EXPECT_TRUE(info.certificates.empty());
}

TEST_F(CardInfoTest, BlankCardIsInItsInitialisationPhase) {
  const CardInfo info = read();
  EXPECT_TRUE(info.initialisationPhase);
  EXPECT_EQ(info.serial, "");
  EXPECT_TRUE(info.containers.empty());
  EXPECT_TRUE(info.certificates.empty());
}

// The data objects come from a card of ours after OpenSC 0.23's pkcs11-tool
// --keypairgen and --write-object of a certificate made by openssl req
// (tests/data/cardops); the certificate (799 bytes inflated) takes chained
// PUT DATA and an answer continued by GET RESPONSE.
TEST_F(CardInfoTest, KeyContainerAndCertificateAsOpenScWritesThem) {
  personalise();
  addGeneratedKey(runtime);
  putData("A000", readHexFile("cardops/opensc-master.hex"));
  putData("A010", readHexFile("cardops/opensc-cmap.hex"));
  putData("A010", readHexFile("cardops/opensc-cert.hex"));
  ASSERT_EQ(sw("0020008200"), 0x9000);  // logged out: reading needs no PIN

  const CardInfo info = read();
  ASSERT_EQ(info.containers.size(), 1u);
  EXPECT_EQ(info.containers[0].name, "e2e");
  EXPECT_TRUE(info.containers[0].valid);
  EXPECT_TRUE(info.containers[0].isDefault);
  EXPECT_EQ(info.containers[0].signatureBits, 0u);
  EXPECT_EQ(info.containers[0].keyExchangeBits, 2048u);
  ASSERT_EQ(info.certificates.size(), 1u);
  const cardops::Certificate& c = info.certificates[0];
  EXPECT_EQ(c.file, "kxc00");
  EXPECT_EQ(c.subject, "CN = Quillon end-to-end");
  EXPECT_EQ(c.issuer, "CN = Quillon end-to-end");
  EXPECT_EQ(c.notBefore, "Dec  7 13:57:55 2026 GMT");
  EXPECT_EQ(c.notAfter, "Dec  9 13:57:55 2026 GMT");
  EXPECT_EQ(c.keyBits, 2048u);
}

}  // namespace
}  // namespace quillon::test

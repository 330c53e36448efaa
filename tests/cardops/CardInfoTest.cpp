// readCardInfo over in-memory cards: fresh, blank, and one with a key container
// and a certificate as OpenSC leaves them.
#include <gtest/gtest.h>

#include "CardBuilder.h"
#include "RuntimeChannel.h"
#include "cardops/CardOperations.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

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
    EXPECT_EQ(r.message, "");
    return info;
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

TEST_F(CardInfoTest, WrongPinsShowInTheTriesLeftUntilBlocked) {
  personalise();
  for (int expected : {2, 1, 0}) {
    EXPECT_EQ(sw("002000800439393939"), 0x63C0 | expected);
    const CardInfo info = read();
    EXPECT_EQ(info.pinTriesLeft, expected);
    EXPECT_EQ(info.pinBlocked, expected == 0);
  }
}

TEST_F(CardInfoTest, KeyContainerAndCertificateAsOpenScWritesThem) {
  personalise();
  const ossl::PkeyPtr cardKey = publicKeyFromAnswer(addGeneratedKey(runtime));
  ASSERT_NE(cardKey, nullptr);
  const ossl::PkeyPtr caKey = generateRsa(2048);
  const Bytes certificate = makeCertificate(cardKey.get(), caKey.get(), "Quillon Tester", 365);
  Bytes map = containerRecord("Quillon key", 0x03, 0, 2048);
  const Bytes second = containerRecord("old", 0x00, 1024, 0);
  map.insert(map.end(), second.begin(), second.end());
  putData(runtime, 0xA010, 0xDF23, map);
  putData(runtime, 0xA010, 0xDF24, compressCertificate(certificate));
  addMasterFileEntry(runtime, "kxc00", 0xDF24, 0xA010);
  ASSERT_EQ(sw("0020008200"), 0x9000);  // logged out: reading needs no PIN

  const CardInfo info = read();
  ASSERT_EQ(info.containers.size(), 2u);
  EXPECT_EQ(info.containers[0].name, "Quillon key");
  EXPECT_TRUE(info.containers[0].valid);
  EXPECT_TRUE(info.containers[0].isDefault);
  EXPECT_EQ(info.containers[0].signatureBits, 0u);
  EXPECT_EQ(info.containers[0].keyExchangeBits, 2048u);
  EXPECT_EQ(info.containers[1].name, "old");
  EXPECT_FALSE(info.containers[1].valid);
  EXPECT_EQ(info.containers[1].signatureBits, 1024u);

  ASSERT_EQ(info.certificates.size(), 1u);
  const cardops::Certificate& c = info.certificates[0];
  EXPECT_EQ(c.file, "kxc00");
  EXPECT_EQ(c.subject, "CN = Quillon Tester");
  EXPECT_EQ(c.issuer, "CN = Quillon Test CA");
  EXPECT_EQ(c.notBefore, "Jan  1 00:00:00 2026 GMT");
  EXPECT_EQ(c.notAfter, "Jan  1 00:00:00 2027 GMT");
  EXPECT_EQ(c.keyBits, 2048u);
}

}  // namespace
}  // namespace quillon::test

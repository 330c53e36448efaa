// A card may answer anything: the real card with one answer replaced must give an
// error Result with a message, never a crash or a read past the answer.
#include <gtest/gtest.h>

#include "RuntimeChannel.h"
#include "cardops/CardOperations.h"
#include "support/ApduSession.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

using cardops::Outcome;

using HostileCardTest = CardFixture;

// Each record of cardops/hostile.vec: rules that replace the card's answers, an
// operation, and the message it must fail with.
TEST_F(HostileCardTest, MalformedAnswersAreErrors) {
  personalise();
  const auto records = readVecFile("cardops/hostile.vec");
  ASSERT_EQ(records.size(), 24u);
  const Bytes key = fromHex(kAdminKey);
  for (const VecRecord& c : records) {
    RuntimeChannel channel(runtime);
    if (c.contains("Fail")) channel.failWith(std::stoul(c.at("Fail"), nullptr, 16));
    for (const char* rule : {"Rule", "Rule2"}) {
      const auto it = c.find(rule);
      if (it == c.end()) continue;
      const auto arrow = it->second.find("->");
      channel.replace(expandHex(it->second.substr(0, arrow)), expandHex(it->second.substr(arrow + 2)));
    }
    const std::string& operation = c.at("Operation");
    cardops::CardInfo info;
    const cardops::Result r = operation == "info" ? cardops::readCardInfo(channel, info)
                              : operation == "unblock"
                                  ? cardops::unblockPin(channel, ossl::SecureBytes(key.begin(), key.end()),
                                                        ossl::SecureBytes{'5', '5', '5', '5'})
                                  : cardops::changeAdminKey(channel, ossl::SecureBytes(key.begin(), key.end()),
                                                            ossl::SecureBytes(key.rbegin(), key.rend()));
    EXPECT_EQ(r.outcome, Outcome::kFailed) << c.at("Name");
    EXPECT_EQ(r.message, c.at("Message")) << c.at("Name");
  }
}

TEST_F(HostileCardTest, UnreadablePinStatusFallsBackToVerify) {
  personalise();
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

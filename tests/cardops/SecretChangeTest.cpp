// PIN change, PIN unblock and administrator key change on an in-memory card,
// each checked by what the card then accepts and refuses.
#include <gtest/gtest.h>

#include "RuntimeChannel.h"
#include "cardops/CardOperations.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

using cardops::Outcome;
using cardops::Result;

ossl::SecureBytes secret(const std::string& text) { return ossl::SecureBytes(text.begin(), text.end()); }
ossl::SecureBytes keyBytes(const std::string& hex) {
  const Bytes b = fromHex(hex);
  return ossl::SecureBytes(b.begin(), b.end());
}

const std::string kNewKey = "A1A2A3A4A5A6A7A8B1B2B3B4B5B6B7B8C1C2C3C4C5C6C7C8";

class SecretChangeTest : public CardFixture {
 protected:
  void SetUp() override { personalise(); }
  // VERIFY of an ASCII PIN.
  std::uint16_t verify(const std::string& pin) {
    return sw("00200080" + toHex(Bytes{static_cast<std::uint8_t>(pin.size())}) + toHex(Bytes(pin.begin(), pin.end())));
  }
  int triesLeft() {
    cardops::CardInfo info;
    EXPECT_EQ(cardops::readCardInfo(channel, info).outcome, Outcome::kDone);
    return info.pinTriesLeft;
  }

  RuntimeChannel channel{runtime};
};

TEST_F(SecretChangeTest, WrongPinsCountDownToBlockedAndTheAdminKeyUnblocks) {
  struct Step {
    Outcome outcome;
    int tries;
    const char* message;
  };
  const Step steps[] = {
      {Outcome::kWrongSecret, 2, "The PIN is wrong: 2 tries left."},
      {Outcome::kWrongSecret, 1, "The PIN is wrong: 1 try left."},
      {Outcome::kPinBlocked, 0, "The PIN is wrong, and now blocked. Unblock it with the admin key."},
      {Outcome::kPinBlocked, 0, "The PIN is blocked. Unblock it with the admin key."},
  };
  for (const Step& step : steps) {
    const Result r = cardops::changePin(channel, secret("4321"), secret("5678"));
    EXPECT_EQ(r.outcome, step.outcome);
    EXPECT_EQ(r.triesLeft, step.tries);
    EXPECT_EQ(r.message, step.message);
    EXPECT_EQ(triesLeft(), step.tries);
  }
  EXPECT_EQ(verify("1234"), 0x6983);  // the right PIN no longer helps

  const Result wrong = cardops::unblockPin(channel, keyBytes(kNewKey), secret("24682468"));
  EXPECT_EQ(wrong.outcome, Outcome::kWrongSecret);
  EXPECT_EQ(wrong.message, "The admin key is wrong.");
  ASSERT_EQ(cardops::unblockPin(channel, keyBytes(kAdminKey), secret("24682468")).outcome, Outcome::kDone);
  EXPECT_EQ(triesLeft(), 3);
  EXPECT_EQ(verify("24682468"), 0x9000);
  EXPECT_EQ(sw("002C0280043131313100"), 0x6982);  // the administrator right ends with the operation
}

// The PIN and the administrator key replaced, as the card then shows, and no
// secret in any trace line on the way.
TEST_F(SecretChangeTest, ChangesReplaceTheOldSecretsAndTraceNone) {
  TraceCapture capture;
  Result r = cardops::changePin(channel, secret("1234"), secret("80808080"));
  ASSERT_EQ(r.outcome, Outcome::kDone) << r.message;
  EXPECT_EQ(verify("1234"), 0x63C2);
  EXPECT_EQ(verify("80808080"), 0x9000);
  r = cardops::changeAdminKey(channel, keyBytes(kAdminKey), keyBytes(kNewKey));
  ASSERT_EQ(r.outcome, Outcome::kDone) << r.message;
  EXPECT_EQ(cardops::unblockPin(channel, keyBytes(kAdminKey), secret("1111")).outcome, Outcome::kWrongSecret);
  EXPECT_EQ(cardops::unblockPin(channel, keyBytes(kNewKey), secret("70707070")).outcome, Outcome::kDone);
  EXPECT_EQ(verify("70707070"), 0x9000);
  ASSERT_GT(capture.sink().lines().size(), 10u);
  const std::string secrets[] = {"31323334", "80808080", "3830383038303830", "70707070", "3730373037303730",
                                 kAdminKey,  kNewKey,    "0102030405060708"};
  for (const std::string& s : secrets) EXPECT_EQ(capture.sink().count(s), 0u) << s;
}

TEST_F(SecretChangeTest, BlankCardsAreRefusedBeforeAnySecretIsSent) {
  JCRuntimeImpl blankRuntime;
  GidsApplet::install(blankRuntime);
  for (int operation = 0; operation < 3; ++operation) {
    RuntimeChannel blank(blankRuntime);
    const Result r = operation == 0   ? cardops::changePin(blank, secret("1234"), secret("5678"))
                     : operation == 1 ? cardops::unblockPin(blank, keyBytes(kAdminKey), secret("5678"))
                                      : cardops::changeAdminKey(blank, keyBytes(kAdminKey), keyBytes(kNewKey));
    EXPECT_EQ(r.message, "The card is still in its initialisation phase: personalise it first.") << operation;
    EXPECT_EQ(blank.sent, 2) << operation;  // SELECT and the PIN status query
  }
}

}  // namespace
}  // namespace quillon::test

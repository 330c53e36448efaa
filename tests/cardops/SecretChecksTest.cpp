// The checks of PINs and administrator keys typed by the user, with the wording of
// card creation.
#include <gtest/gtest.h>

#include "cardops/SecretChecks.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using cardops::Outcome;

// Records what the checks say (errors as "E: ...", questions as "Q: ...") and
// answers every question with `yes`.
class SecretChecksTest : public ::testing::Test, public FormatCardUi {
 protected:
  void showError(const char* message) override { said.push_back(std::string("E: ") + message); }
  bool askYesNo(const char* question) override {
    said.push_back(std::string("Q: ") + question);
    return yes;
  }
  static ossl::SecureBytes text(const std::string& s) { return ossl::SecureBytes(s.begin(), s.end()); }

  bool yes = true;
  std::vector<std::string> said;
};

constexpr const char* kLength = "E: The PIN must be between 4 and 16 digits long.";
constexpr const char* kDigits = "E: The PIN must contain digits only (0-9).";

TEST_F(SecretChecksTest, NewPins) {
  constexpr const char* kAsk = "Q: Warning: you should change the default PIN. Continue?";
  const struct {
    std::string pin;
    bool yes;
    Outcome outcome;
    const char* said;  // "" for nothing
    bool note;
  } rows[] = {
      {"1234", true, Outcome::kDone, "", false},
      {"123", true, Outcome::kInvalidInput, kLength, false},
      {"12345678901234567", true, Outcome::kInvalidInput, kLength, false},
      {"", true, Outcome::kInvalidInput, kLength, false},
      {"12a4", true, Outcome::kInvalidInput, kDigits, false},
      {"12 45", true, Outcome::kInvalidInput, kDigits, false},
      {"7931", true, Outcome::kDone, kAsk, false},
      {"7931", false, Outcome::kDeclined, kAsk, false},
      {"79310", true, Outcome::kDone, "", false},
      {"123456789012345", true, Outcome::kDone, "", false},
      {"1234567890123456", true, Outcome::kDone, "", true},
  };
  ASSERT_STREQ(kDefaultPin, "7931");
  for (const auto& row : rows) {
    said.clear();
    yes = row.yes;
    const char* note = "unset";
    EXPECT_EQ(cardops::checkNewPin(text(row.pin), *this, &note), row.outcome) << row.pin;
    EXPECT_EQ(said, *row.said ? std::vector<std::string>{row.said} : std::vector<std::string>{}) << row.pin;
    EXPECT_STREQ(note, row.note ? kLongPinNote : nullptr) << row.pin;
  }
}

TEST_F(SecretChecksTest, PresentedPinsAreNeverQuestioned) {
  EXPECT_EQ(cardops::checkPin(text("7931"), *this), Outcome::kDone);
  EXPECT_EQ(cardops::checkPin(text("1234567890123456"), *this), Outcome::kDone);
  EXPECT_EQ(cardops::checkPin(text("123"), *this), Outcome::kInvalidInput);
  EXPECT_EQ(cardops::checkPin(text("abcd"), *this), Outcome::kInvalidInput);
  EXPECT_EQ(said, (std::vector<std::string>{kLength, kDigits}));
}

TEST_F(SecretChecksTest, AdminKeys) {
  const std::string lower = "3c9e51a07b2d84f6e1058c3a9d7b26f40e8a15c7d3b96f21";
  const std::string defaultKey = "3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F21";
  constexpr const char* kKeyLength = "E: The admin key must be 48 hexadecimal characters (24 bytes).";
  constexpr const char* kKeyChar = "E: The admin key contains an invalid character (allowed: 0-9 A-F).";
  constexpr const char* kAsk = "Q: Warning: you should change the default admin key. Continue?";
  const std::string other = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4B5B6B7";
  const struct {
    std::string key;
    bool isNew;
    bool yes;
    Outcome outcome;
    const char* said;
  } rows[] = {
      {other, true, true, Outcome::kDone, ""},
      {other.substr(0, 46), true, true, Outcome::kInvalidInput, kKeyLength},
      {other + "19", true, true, Outcome::kInvalidInput, kKeyLength},
      {other.substr(0, 47) + "g", true, true, Outcome::kInvalidInput, kKeyChar},
      {defaultKey, true, false, Outcome::kDeclined, kAsk},
      {lower, true, true, Outcome::kDone, kAsk},       // the default, whatever its case
      {defaultKey, false, false, Outcome::kDone, ""},  // the current key may be the default
  };
  ASSERT_EQ(std::string(kDefaultAdminKey), defaultKey);
  for (const auto& row : rows) {
    said.clear();
    yes = row.yes;
    ossl::SecureBytes key{1, 2, 3};
    EXPECT_EQ(cardops::parseAdminKey(text(row.key), row.isNew, *this, key), row.outcome) << row.key;
    EXPECT_EQ(said, *row.said ? std::vector<std::string>{row.said} : std::vector<std::string>{}) << row.key;
    EXPECT_EQ(toHex(Bytes(key.begin(), key.end())), row.outcome == Outcome::kDone ? toHex(fromHex(row.key)) : "")
        << row.key;
  }
}

}  // namespace
}  // namespace quillon::test

// The checks of PINs and administrator keys typed by the user, with the wording of
// card creation.
#include <gtest/gtest.h>

#include "cardops/SecretChecks.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using cardops::Outcome;

class SecretChecksTest : public ::testing::Test, public FormatCardUi {
 protected:
  void showError(const char* message) override { errors.emplace_back(message); }
  bool askYesNo(const char* question) override {
    questions.emplace_back(question);
    return yes;
  }
  static ossl::SecureBytes text(const std::string& s) { return ossl::SecureBytes(s.begin(), s.end()); }

  bool yes = true;
  std::vector<std::string> errors;
  std::vector<std::string> questions;
};

constexpr const char* kLength = "The PIN must be between 4 and 16 digits long.";
constexpr const char* kDigits = "The PIN must contain digits only (0-9).";
constexpr const char* kDefaultPinQuestion = "Warning: you should change the default PIN. Continue?";

TEST_F(SecretChecksTest, NewPins) {
  struct Row {
    std::string pin;
    bool yes;
    Outcome outcome;
    const char* error;     // "" for none
    const char* question;  // "" for none
    bool note;
  };
  const Row rows[] = {
      {"1234", true, Outcome::kDone, "", "", false},
      {"123", true, Outcome::kInvalidInput, kLength, "", false},
      {"12345678901234567", true, Outcome::kInvalidInput, kLength, "", false},
      {"", true, Outcome::kInvalidInput, kLength, "", false},
      {"12a4", true, Outcome::kInvalidInput, kDigits, "", false},
      {"12 45", true, Outcome::kInvalidInput, kDigits, "", false},
      {kDefaultPin, true, Outcome::kDone, "", kDefaultPinQuestion, false},
      {kDefaultPin, false, Outcome::kDeclined, "", kDefaultPinQuestion, false},
      {std::string(kDefaultPin) + "0", true, Outcome::kDone, "", "", false},
      {"123456789012345", true, Outcome::kDone, "", "", false},
      {"1234567890123456", true, Outcome::kDone, "", "", true},
  };
  for (const Row& row : rows) {
    errors.clear();
    questions.clear();
    yes = row.yes;
    const char* note = "unset";
    EXPECT_EQ(cardops::checkNewPin(text(row.pin), *this, &note), row.outcome) << row.pin;
    EXPECT_EQ(errors, *row.error ? std::vector<std::string>{row.error} : std::vector<std::string>{}) << row.pin;
    EXPECT_EQ(questions, *row.question ? std::vector<std::string>{row.question} : std::vector<std::string>{})
        << row.pin;
    EXPECT_STREQ(note, row.note ? kLongPinNote : nullptr) << row.pin;
  }
}

TEST_F(SecretChecksTest, PresentedPinsAreNeverQuestioned) {
  EXPECT_EQ(cardops::checkPin(text(kDefaultPin), *this), Outcome::kDone);
  EXPECT_EQ(cardops::checkPin(text("1234567890123456"), *this), Outcome::kDone);
  EXPECT_EQ(cardops::checkPin(text("123"), *this), Outcome::kInvalidInput);
  EXPECT_EQ(cardops::checkPin(text("abcd"), *this), Outcome::kInvalidInput);
  EXPECT_EQ(errors, (std::vector<std::string>{kLength, kDigits}));
  EXPECT_TRUE(questions.empty());
}

TEST_F(SecretChecksTest, AdminKeys) {
  const std::string lower = "0102030405060708090a0b0c0d0e0f101112131415161718";
  std::string defaultLower(kDefaultAdminKey);
  for (char& c : defaultLower) c = static_cast<char>(std::tolower(c));
  constexpr const char* kKeyLength = "The admin key must be 48 hexadecimal characters (24 bytes).";
  constexpr const char* kKeyChar = "The admin key contains an invalid character (allowed: 0-9 A-F).";
  constexpr const char* kQuestion = "Warning: you should change the default admin key. Continue?";
  struct Row {
    std::string key;
    bool isNew;
    bool yes;
    Outcome outcome;
    const char* error;
    const char* question;
  };
  const Row rows[] = {
      {lower, true, true, Outcome::kDone, "", ""},
      {lower.substr(0, 46), true, true, Outcome::kInvalidInput, kKeyLength, ""},
      {lower + "19", true, true, Outcome::kInvalidInput, kKeyLength, ""},
      {lower.substr(0, 47) + "g", true, true, Outcome::kInvalidInput, kKeyChar, ""},
      {kDefaultAdminKey, true, false, Outcome::kDeclined, "", kQuestion},
      {defaultLower, true, true, Outcome::kDone, "", kQuestion},
      {kDefaultAdminKey, false, false, Outcome::kDone, "", ""},  // the current key may be the default
  };
  for (const Row& row : rows) {
    errors.clear();
    questions.clear();
    yes = row.yes;
    ossl::SecureBytes key{1, 2, 3};
    EXPECT_EQ(cardops::parseAdminKey(text(row.key), row.isNew, *this, key), row.outcome) << row.key;
    EXPECT_EQ(errors, *row.error ? std::vector<std::string>{row.error} : std::vector<std::string>{}) << row.key;
    EXPECT_EQ(questions, *row.question ? std::vector<std::string>{row.question} : std::vector<std::string>{})
        << row.key;
    if (row.outcome == Outcome::kDone) {
      Bytes expected = fromHex(row.key);
      EXPECT_EQ(Bytes(key.begin(), key.end()), expected) << row.key;
    } else {
      EXPECT_TRUE(key.empty()) << row.key;
    }
  }
}

}  // namespace
}  // namespace quillon::test

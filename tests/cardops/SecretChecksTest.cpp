// The checks of PINs and administrator keys typed by the user, with the wording of
// card creation: the cases are records of tests/data/cardops/secret-checks.vec.
#include <gtest/gtest.h>

#include "cardops/SecretChecks.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using cardops::Outcome;

// Records what the checks tell the user and answers every question with `yes`.
struct ScriptedUi final : FormatCardUi {
  void showError(const char* message) override { said += (said.empty() ? "E: " : "|E: ") + std::string(message); }
  bool askYesNo(const char* question) override {
    return said += (said.empty() ? "Q: " : "|Q: ") + std::string(question), yes;
  }
  bool yes = true;
  std::string said;
};
std::string field(const VecRecord& record, const char* name) { return record.contains(name) ? record.at(name) : ""; }

TEST(SecretChecksTest, AsRecorded) {
  const auto records = readVecFile("cardops/secret-checks.vec");
  ASSERT_EQ(records.size(), 21u);
  const std::map<std::string, Outcome> outcomes = {
      {"done", Outcome::kDone}, {"invalid", Outcome::kInvalidInput}, {"declined", Outcome::kDeclined}};
  for (const VecRecord& r : records) {
    const std::string check = field(r, "Check"), input = field(r, "Input");
    const ossl::SecureBytes text(input.begin(), input.end());
    ScriptedUi ui;
    ui.yes = field(r, "Yes") != "no";
    const char* note = "unset";
    ossl::SecureBytes key{1, 2, 3};
    const Outcome outcome = check == "new-pin" ? cardops::checkNewPin(text, ui, &note)
                            : check == "pin"   ? cardops::checkPin(text, ui)
                                               : cardops::parseAdminKey(text, check == "new-key", ui, key);
    const std::string what = check + " \"" + input + "\"";
    EXPECT_EQ(outcome, outcomes.at(field(r, "Outcome"))) << what;
    EXPECT_EQ(ui.said, field(r, "Said")) << what;
    if (check == "new-pin") {
      EXPECT_STREQ(note, field(r, "Note") == "yes" ? kLongPinNote : nullptr) << what;
    }
    if (check.ends_with("key")) {
      EXPECT_EQ(toHex(Bytes(key.begin(), key.end())), field(r, "Key")) << what;
    }
  }
}

}  // namespace
}  // namespace quillon::test

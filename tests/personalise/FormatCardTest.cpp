// The lenient script scanner and execute(); the initialisation request: input
// checks in their order (personalise/format-input.vec), warnings, the script texts.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Hex.h"
#include "gids/GidsApplet.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/FormatCard.h"
#include "personalise/ScriptExecutor.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

TEST(ScriptExecutor, ScansLenientlyAndKeepsSecretsOutOfTheTrace) {
  EXPECT_EQ(hex::encode(scanCommandText("db a0 1G23")), "DBA023");  // G after a high nibble discards it
  EXPECT_EQ(scanCommandText(std::string(600, 'A').c_str()).size(), 260u);
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  test::TraceCapture capture(trace::kVerbose);
  EXPECT_EQ(execute(runtime, "002401800439383736", true), 0x9000u);
  EXPECT_EQ(capture.sink().count("39383736"), 0u);
  EXPECT_EQ(capture.sink().count("execute: transmit 0024018004<hidden>"), 1u);
}

// The fixture is the user: it records the messages and answers every question with `answer`.
class FormatCardTest : public ::testing::Test, public FormatCardUi {
 protected:
  void showError(const char* message) override { errors.emplace_back(message); }
  bool askYesNo(const char* question) override {
    questions.emplace_back(question);
    return answer;
  }
  FormatCardResult run(const std::string& pin, const std::string& adminKey,
                       const std::string& serial = "0123456789ABCDEF0123456789ABCDEF") {
    FormatCardInput in{dir.string(), &identity, ossl::SecureBytes(pin.begin(), pin.end()),
                       ossl::SecureBytes(adminKey.begin(), adminKey.end()), serial};
    return FormatCard(in, *this, [](auto... args) { return CreateSecureContainer(args...); });
  }

  test::TempDir scratch;
  const fs::path dir = scratch.path();
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::vector<std::string> errors, questions;
  bool answer = true;
  const std::string key = "0102030405060708090a0b0c0d0e0f101112131415161718";
};

TEST_F(FormatCardTest, InputChecksInTheirOrder) {
  const auto rows = test::readVecFile("personalise/format-input.vec");
  ASSERT_EQ(rows.size(), 7u);
  for (const auto& row : rows) {
    errors.clear();
    EXPECT_EQ(run(row.at("Pin"), row.at("Key"), row.at("Serial")).outcome, FormatOutcome::kInvalidInput)
        << row.at("Error");
    EXPECT_EQ(errors, std::vector<std::string>{row.at("Error")});
  }
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  EXPECT_EQ(run("1234567890123456", key, "00112233445566778899aabbccddeeff").outcome, FormatOutcome::kCreated);
}

TEST_F(FormatCardTest, WarningsForDefaultsAndAnExistingContainer) {
  answer = false;
  EXPECT_EQ(run("7931", key).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(run("1234", "3c9e51a07b2d84f6e1058c3a9d7b26f40e8a15c7d3b96f21").outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(questions, (std::vector<std::string>{"Warning: you should change the default PIN. Continue?",
                                                 "Warning: you should change the default admin key. Continue?"}));
  // One character different from the default key: no warning. Then a container exists.
  answer = true;
  EXPECT_EQ(run("1234", "3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F20").outcome, FormatOutcome::kCreated);
  EXPECT_EQ(run("1234", key).outcome, FormatOutcome::kCreated);
  EXPECT_EQ(questions.back(), "Warning: a secure container already exists on this device. Continue?");
  EXPECT_EQ(questions.size(), 3u);
}

TEST_F(FormatCardTest, ScriptTexts) {
  const test::Bytes adminKey = test::fromHex("3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F21");
  const auto script = personalisationScript("1234567890123456", adminKey.data(), "00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(script.size(), 25u);
  EXPECT_EQ(std::string(script[1].c_str()), "002401801031323334353637383930313233343536");
  EXPECT_TRUE(script[1].secret);
  EXPECT_EQ(std::string(script[16].c_str()),
            "00DB3FFF267024840180A51F87183C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F218803B073DC");
  EXPECT_TRUE(script[16].secret);
  EXPECT_EQ(std::string(script[17].c_str()), "00 DB A0 12 13 DF 20 10 00112233445566778899AABBCCDDEEFF");
}

}  // namespace
}  // namespace quillon

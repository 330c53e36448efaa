// The lenient script scanner and execute(); the initialisation request: input
// checks in their order, warnings, the script texts; the blank card, whose
// applet awaits the personalisation commands.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Hex.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsPINManager.h"
#include "personalise/CreateBlankContainer.h"
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
  const std::pair<const char*, const char*> scans[] = {
      {"db a0", "DBA0"}, {"0 0A", "00"}, {"1G23", "23"} /* G after a high nibble discards it */};
  for (const auto& [text, bytes] : scans) EXPECT_EQ(hex::encode(scanCommandText(text)), bytes) << text;
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
  // Runs the request on the directory with a creator that records what it was given.
  FormatCardResult run(const std::string& pin, const std::string& adminKey,
                       const std::string& serial = "0123456789ABCDEF0123456789ABCDEF") {
    FormatCardInput in{dir.string(), &identity, ossl::SecureBytes(pin.begin(), pin.end()),
                       ossl::SecureBytes(adminKey.begin(), adminKey.end()), serial};
    return FormatCard(in, *this,
                      [&](const char* p, const std::uint8_t k[24], const char* s, const std::string& drive,
                          const DeviceIdentity* id) {
                        createdKey = test::toHex(test::Bytes(k, k + 24));
                        return CreateSecureContainer(p, k, s, drive, id);
                      });
  }

  test::TempDir scratch;
  const fs::path dir = scratch.path();
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::vector<std::string> errors, questions;
  bool answer = true;
  std::string createdKey;
  const std::string key = "0102030405060708090a0b0c0d0e0f101112131415161718";
};

TEST_F(FormatCardTest, InputChecksInTheirOrder) {
  const std::string serial = "0123456789ABCDEF0123456789ABCDEF";
  const struct {
    std::string pin, key, serial, error;
  } rows[] = {
      {"123", key, serial, "The PIN must be between 4 and 16 digits long."},
      {"12345678901234567", key, serial, "The PIN must be between 4 and 16 digits long."},
      {"12a4", key, "00112233", "The PIN must contain digits only (0-9)."},  // the PIN first
      {"1234", key.substr(1), serial, "The admin key must be 48 hexadecimal characters (24 bytes)."},
      {"1234", key.substr(0, 47) + "G", serial, "The admin key contains an invalid character (allowed: 0-9 A-F)."},
      {"1234", key, std::string(31, '0') + "X", "The serial number contains an invalid character (allowed: 0-9 A-F)."},
      {"1234", key, "", "The serial number must be exactly 32 hexadecimal characters."},
  };
  for (const auto& row : rows) {
    errors.clear();
    EXPECT_EQ(run(row.pin, row.key, row.serial).outcome, FormatOutcome::kInvalidInput) << row.error;
    EXPECT_EQ(errors, std::vector<std::string>{row.error});
  }
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  // Lower-case letters pass: the key is converted.
  ASSERT_EQ(run("1234567890123456", key, "00112233445566778899aabbccddeeff").outcome, FormatOutcome::kCreated);
  EXPECT_EQ(createdKey, "0102030405060708090A0B0C0D0E0F101112131415161718");
}

TEST_F(FormatCardTest, WarningsForDefaultsAndAnExistingContainer) {
  answer = false;
  EXPECT_EQ(run("7931", key).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(run("1234", "3c9e51a07b2d84f6e1058c3a9d7b26f40e8a15c7d3b96f21").outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(questions, (std::vector<std::string>{"Warning: you should change the default PIN. Continue?",
                                                 "Warning: you should change the default admin key. Continue?"}));
  // One character different from the default key: no warning.
  answer = true;
  EXPECT_EQ(run("1234", "3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F20").outcome, FormatOutcome::kCreated);
  EXPECT_EQ(questions.size(), 2u);
  // Now a container exists: declining leaves it as it is.
  const test::Bytes before = test::readFileBytes((dir / "Quillon2.bin").string());
  answer = false;
  EXPECT_EQ(run("1234", key).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(questions.back(), "Warning: a secure container already exists on this device. Continue?");
  EXPECT_EQ(test::readFileBytes((dir / "Quillon2.bin").string()), before);
}

TEST_F(FormatCardTest, ScriptTexts) {
  const test::Bytes adminKey = test::fromHex("3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F21");
  const auto script = personalisationScript("1234567890123456", adminKey.data(), "00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(script.size(), 25u);
  EXPECT_EQ(std::string(script[1].c_str()), "002401801031323334353637383930313233343536");
  EXPECT_TRUE(script[1].secret);
  EXPECT_EQ(script[1].traceLine, "CreateSecureContainer: setting PIN (length 16)");
  EXPECT_EQ(std::string(script[16].c_str()),
            "00DB3FFF267024840180A51F87183C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F218803B073DC");
  EXPECT_TRUE(script[16].secret);
  EXPECT_EQ(std::string(script[17].c_str()), "00 DB A0 12 13 DF 20 10 00112233445566778899AABBCCDDEEFF");
}

TEST_F(FormatCardTest, ABlankCardAwaitsItsPersonalisation) {
  ASSERT_EQ(CreateBlankContainer(dir.string(), &identity), 0u);
  FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                      identity.revision.c_str(), dir.string());
  GidsAppletInstaller installer;
  std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(installer);
  auto* applet = dynamic_cast<GidsApplet*>(runtime->getApplet());
  ASSERT_NE(applet, nullptr);
  EXPECT_TRUE(applet->pins().isInInitializationMode());
  // No PIN is set: a VERIFY finds nothing to check against before personalisation.
  execute(*runtime, "00A4040409A0000003974254465900");
  EXPECT_NE(execute(*runtime, "00200080043234363800"), 0x9000u);
  const std::uint8_t adminKey[24] = {1, 2, 3};
  for (const ScriptCommand& command : personalisationScript("2468", adminKey, "00112233445566778899AABBCCDDEEFF"))
    EXPECT_EQ(execute(*runtime, command.c_str(), command.secret), 0x9000u) << command.c_str();
  EXPECT_FALSE(applet->pins().isInInitializationMode());
  execute(*runtime, "00A4040409A0000003974254465900");
  EXPECT_EQ(execute(*runtime, "002000800432343638"), 0x9000u);
}

}  // namespace
}  // namespace quillon

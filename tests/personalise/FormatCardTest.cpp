// The initialisation request: input checks in their order, warnings, the script
// texts, card creation into a directory, and the decryption tool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "personalise/CreateSecureContainer.h"
#include "personalise/DecryptSecureContainer.h"
#include "personalise/FormatCard.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

class RecordingUi final : public FormatCardUi {
 public:
  void showError(const char* message) override { errors.emplace_back(message); }
  bool askYesNo(const char* question) override {
    questions.emplace_back(question);
    return answer;
  }
  std::vector<std::string> errors, questions;
  bool answer = true;
};

ossl::SecureBytes bytes(const std::string& text) { return ossl::SecureBytes(text.begin(), text.end()); }

class FormatCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-format-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  FormatCardInput input(const std::string& pin, const std::string& adminKey, const std::string& serial = "") {
    FormatCardInput in;
    in.drive = dir.string();
    in.identity = &identity;
    in.pin = bytes(pin);
    in.adminKey = bytes(adminKey);
    in.serial = serial;
    return in;
  }

  // Runs the request with a creator that records what it was given.
  FormatCardResult run(FormatCardInput in) {
    return FormatCard(in, ui,
                      [&](const char* pin, const std::uint8_t adminKey[24], const char* serial,
                          const std::string& drive, const DeviceIdentity* id) {
                        createdPin = pin;
                        createdKey.assign(adminKey, adminKey + 24);
                        createdSerial = serial;
                        return CreateSecureContainer(pin, adminKey, serial, drive, id);
                      });
  }

  fs::path dir;
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  RecordingUi ui;
  std::string createdPin, createdSerial;
  std::vector<std::uint8_t> createdKey;
  const std::string key = "0102030405060708090a0b0c0d0e0f101112131415161718";
};

TEST_F(FormatCardTest, InputChecksInTheirOrder) {
  EXPECT_EQ(run(input("123", key)).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run(input("12345678901234567", key)).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run(input("12a4", key)).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run(input("1234", key.substr(1))).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run(input("1234", key.substr(0, 47) + "G")).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run(input("12a4", key, "00112233")).outcome, FormatOutcome::kInvalidInput);  // the PIN first
  EXPECT_EQ(run(input("1234", key, std::string(31, '0') + "X")).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(
      ui.errors,
      (std::vector<std::string>{
          "The PIN must be between 4 and 16 digits long.", "The PIN must be between 4 and 16 digits long.",
          "The PIN must contain digits only (0-9).", "The admin key must be 48 hexadecimal characters (24 bytes).",
          "The admin key contains an invalid character (allowed: 0-9 A-F).", "The PIN must contain digits only (0-9).",
          "The serial number contains an invalid character (allowed: 0-9 A-F)."}));
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  // Lower-case letters pass: the key is converted, the serial passed on as typed.
  const std::string serial = "00112233445566778899aabbccddeeff";
  ASSERT_EQ(run(input("1234567890123456", key, serial)).outcome, FormatOutcome::kCreated);
  EXPECT_EQ(createdPin, "1234567890123456");
  EXPECT_EQ(createdKey[23], 0x18);
  EXPECT_EQ(createdKey[9], 0x0A);
  EXPECT_EQ(createdSerial, serial);
}

TEST_F(FormatCardTest, WarningsAndGeneratedSerial) {
  ui.answer = false;
  EXPECT_EQ(run(input(kDefaultPin, key)).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(run(input("1234", kDefaultAdminKey)).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(ui.questions, (std::vector<std::string>{"Warning: you should change the default PIN. Continue?",
                                                    "Warning: you should change the default admin key. Continue?"}));
  // One character different from the default key: no warning.
  std::string almost = kDefaultAdminKey;
  almost[47] = '0';
  ui.questions.clear();
  ui.answer = true;
  const FormatCardResult created = run(input("1234", almost));
  EXPECT_EQ(created.outcome, FormatOutcome::kCreated);
  EXPECT_TRUE(ui.questions.empty());
  ASSERT_EQ(created.serial.size(), 32u);
  EXPECT_EQ(created.serial.find_first_not_of("0123456789ABCDEF"), std::string::npos);

  // Now a container exists: declining leaves it as it is.
  const auto before = fs::last_write_time(dir / "Quillon2.bin");
  ui.answer = false;
  EXPECT_EQ(run(input("1234", key)).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(ui.questions.back(), "Warning: a secure container already exists on this device. Continue?");
  EXPECT_EQ(fs::last_write_time(dir / "Quillon2.bin"), before);
}

TEST_F(FormatCardTest, ADirectoryNamedLikeTheContainerIsNoContainer) {
  fs::create_directory(dir / "Quillon2.bin");
  ui.answer = false;
  const FormatCardResult result = run(input("1234", key));
  EXPECT_TRUE(ui.questions.empty());
  EXPECT_EQ(result.outcome, FormatOutcome::kFailed);  // the save cannot replace a directory
  EXPECT_EQ(ui.errors.size(), 1u);
}

TEST_F(FormatCardTest, ScriptTexts) {
  const std::uint8_t adminKey[24] = {0x3C, 0x9E, 0x51, 0xA0, 0x7B, 0x2D, 0x84, 0xF6, 0xE1, 0x05, 0x8C, 0x3A,
                                     0x9D, 0x7B, 0x26, 0xF4, 0x0E, 0x8A, 0x15, 0xC7, 0xD3, 0xB9, 0x6F, 0x21};
  const auto script = personalisationScript("1234567890123456", adminKey, "00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(script.size(), 25u);
  EXPECT_EQ(script[1].text,
            "0024018010"
            "31323334353637383930313233343536");
  EXPECT_TRUE(script[1].secret);
  EXPECT_EQ(script[1].traceLine, "CreateSecureContainer: setting PIN (length 16)");
  EXPECT_EQ(script[16].text, std::string("00DB3FFF267024840180A51F8718") + kDefaultAdminKey + "8803B073DC");
  EXPECT_TRUE(script[16].secret);
  EXPECT_EQ(script[17].text, "00 DB A0 12 13 DF 20 10 00112233445566778899AABBCCDDEEFF");
}

TEST_F(FormatCardTest, CreationFailuresAreReported) {
  const std::uint8_t adminKey[24] = {1};
  EXPECT_EQ(CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", "/nonexistent/dir", &identity),
            2u);
  EXPECT_EQ(
      CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", std::string(5000, 'x'), &identity),
      111u);
  // An identity too long for the key derivation writes nothing.
  DeviceIdentity huge{std::string(200, 'V'), std::string(100, 'P'), "", ""};
  EXPECT_NE(CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", dir.string(), &huge), 0u);
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  EXPECT_EQ(statusMessage(0x80071234), "0x80071234 - (unknown error)");
}

TEST_F(FormatCardTest, DecryptionToolWritesTheStateInClear) {
  ASSERT_EQ(run(input("1234", key)).outcome, FormatOutcome::kCreated);
  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  // A leftover of an earlier run is never passed off as this one's.
  std::ofstream(kDecryptedXmlFile) << "stale";
  DeviceIdentity other = identity;
  other.serial = "SN0002";
  EXPECT_NE(DecryptSecureContainer(dir.string(), &other), 0u);
  EXPECT_EQ(DecryptSecureContainer(dir.string(), &identity), 0u);
  std::ifstream xml(kDecryptedXmlFile);
  const std::string text((std::istreambuf_iterator<char>(xml)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("<?xml", 0), 0u);
  EXPECT_NE(text.find("<GidsFileSystem"), std::string::npos);
  EXPECT_EQ(fs::status(kDecryptedXmlFile).permissions() & fs::perms::others_read, fs::perms::none);
  fs::current_path(cwd);
}

}  // namespace
}  // namespace quillon

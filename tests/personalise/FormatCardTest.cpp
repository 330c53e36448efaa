// The lenient script scanner and execute(); the initialisation request: input
// checks in their order, warnings, the script texts, card creation into a
// directory, and the decryption tool; the blank card, a container holding an
// applet in its initialisation phase that the personalisation commands then finish.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "../platform/SysfsTree.h"
#include "base/Hex.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsPINManager.h"
#include "personalise/CreateBlankContainer.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/DecryptSecureContainer.h"
#include "personalise/FormatCard.h"
#include "personalise/ScriptExecutor.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

std::string scanned(const char* text) { return hex::encode(scanCommandText(text)); }

TEST(ScanCommandText, LenientRules) {
  EXPECT_EQ(scanned("00 A4 04 04 09 A0 00 00 03 97 42 54 46 59 00"), "00A4040409A0000003974254465900");
  EXPECT_EQ(scanned("db a0"), "DBA0");
  EXPECT_EQ(scanned("0 0A"), "00");  // a blank inside a byte; the lone A is dropped
  EXPECT_EQ(scanned("123"), "12");
  EXPECT_EQ(scanned("1G23"), "23");  // G after a high nibble discards it
  EXPECT_EQ(scanned("\t0\n1 zz 2\r3"), "0123");
  EXPECT_EQ(scanCommandText(std::string(600, 'A').c_str()).size(), kMaxScriptCommand);
}

TEST(Execute, ReturnsTheStatusWordAndKeepsSecretsOutOfTheTrace) {
  JCRuntimeImpl runtime;
  EXPECT_EQ(execute(runtime, "00A4000C023FFF"), 0u);  // no applet yet: transmit fails
  GidsApplet::install(runtime);
  test::TraceCapture capture(trace::kVerbose);
  EXPECT_EQ(execute(runtime, "00A4040409A0000003974254465900"), 0x9000u);
  EXPECT_EQ(execute(runtime, "00A4000C02A000"), 0x6A82u);
  EXPECT_EQ(execute(runtime, ""), 0x6D00u);  // an empty command is still sent
  EXPECT_EQ(capture.sink().count("execute: transmit 00A4000C02A000"), 1u);
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
                        createdPin = p;
                        createdKey.assign(k, k + 24);
                        createdSerial = s;
                        return CreateSecureContainer(p, k, s, drive, id);
                      });
  }

  test::SysfsTree tree;  // only for its temporary directory
  const fs::path dir = tree.root();
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::vector<std::string> errors, questions;
  bool answer = true;
  std::string createdPin, createdSerial;
  std::vector<std::uint8_t> createdKey;
  const std::string key = "0102030405060708090a0b0c0d0e0f101112131415161718";
};

TEST_F(FormatCardTest, InputChecksInTheirOrder) {
  EXPECT_EQ(run("123", key).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("12345678901234567", key).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("12a4", key).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("1234", key.substr(1)).outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("1234", key.substr(0, 47) + "G").outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("12a4", key, "00112233").outcome, FormatOutcome::kInvalidInput);  // the PIN first
  EXPECT_EQ(run("1234", key, std::string(31, '0') + "X").outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(run("1234", key, "").outcome, FormatOutcome::kInvalidInput);
  EXPECT_EQ(
      errors,
      (std::vector<std::string>{
          "The PIN must be between 4 and 16 digits long.", "The PIN must be between 4 and 16 digits long.",
          "The PIN must contain digits only (0-9).", "The admin key must be 48 hexadecimal characters (24 bytes).",
          "The admin key contains an invalid character (allowed: 0-9 A-F).", "The PIN must contain digits only (0-9).",
          "The serial number contains an invalid character (allowed: 0-9 A-F).",
          "The serial number must be exactly 32 hexadecimal characters."}));
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  // Lower-case letters pass: the key is converted, the serial passed on as typed.
  const std::string serial = "00112233445566778899aabbccddeeff";
  const FormatCardResult longPin = run("1234567890123456", key, serial);
  ASSERT_EQ(longPin.outcome, FormatOutcome::kCreated);
  ASSERT_NE(longPin.note, nullptr);  // OpenSC cannot present a 16-digit PIN
  EXPECT_EQ(createdPin, "1234567890123456");
  EXPECT_EQ(createdKey[23], 0x18);
  EXPECT_EQ(createdKey[9], 0x0A);
  EXPECT_EQ(createdSerial, serial);
  EXPECT_EQ(run("123456789012345", key, serial).note, nullptr);
}

TEST_F(FormatCardTest, WarningsAndGeneratedSerials) {
  answer = false;
  EXPECT_EQ(run(kDefaultPin, key).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(run("1234", kDefaultAdminKey).outcome, FormatOutcome::kDeclined);
  // The same key typed in lower case is the same key.
  std::string lower = kDefaultAdminKey;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(run("1234", lower).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(questions, (std::vector<std::string>{"Warning: you should change the default PIN. Continue?",
                                                 "Warning: you should change the default admin key. Continue?",
                                                 "Warning: you should change the default admin key. Continue?"}));
  // One character different from the default key: no warning.
  std::string almost = kDefaultAdminKey;
  almost[47] = '0';
  questions.clear();
  answer = true;
  const FormatCardResult created = run("1234", almost);
  EXPECT_EQ(created.outcome, FormatOutcome::kCreated);
  EXPECT_TRUE(questions.empty());
  std::string generated;
  ASSERT_TRUE(GenerateSerialNumber(generated));
  ASSERT_EQ(generated.size(), 32u);
  EXPECT_EQ(generated.find_first_not_of("0123456789ABCDEF"), std::string::npos);

  // Now a container exists: declining leaves it as it is.
  const auto before = fs::last_write_time(dir / "Quillon2.bin");
  answer = false;
  EXPECT_EQ(run("1234", key).outcome, FormatOutcome::kDeclined);
  EXPECT_EQ(questions.back(), "Warning: a secure container already exists on this device. Continue?");
  EXPECT_EQ(fs::last_write_time(dir / "Quillon2.bin"), before);
}

TEST_F(FormatCardTest, ScriptTexts) {
  const std::uint8_t adminKey[24] = {0x3C, 0x9E, 0x51, 0xA0, 0x7B, 0x2D, 0x84, 0xF6, 0xE1, 0x05, 0x8C, 0x3A,
                                     0x9D, 0x7B, 0x26, 0xF4, 0x0E, 0x8A, 0x15, 0xC7, 0xD3, 0xB9, 0x6F, 0x21};
  const auto script = personalisationScript("1234567890123456", adminKey, "00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(script.size(), 25u);
  EXPECT_EQ(std::string(script[1].c_str()), "002401801031323334353637383930313233343536");
  EXPECT_TRUE(script[1].secret);
  EXPECT_EQ(script[1].traceLine, "CreateSecureContainer: setting PIN (length 16)");
  EXPECT_EQ(script[16].c_str(), std::string("00DB3FFF267024840180A51F8718") + kDefaultAdminKey + "8803B073DC");
  EXPECT_TRUE(script[16].secret);
  EXPECT_EQ(std::string(script[17].c_str()), "00 DB A0 12 13 DF 20 10 00112233445566778899AABBCCDDEEFF");
}

TEST_F(FormatCardTest, CreationFailuresAreReported) {
  // A directory named like the container is no container: no question, and the save cannot replace it.
  fs::create_directory(dir / "Quillon2.bin");
  answer = false;
  EXPECT_EQ(run("1234", key).outcome, FormatOutcome::kFailed);
  EXPECT_TRUE(questions.empty());
  EXPECT_EQ(errors.size(), 1u);
  fs::remove(dir / "Quillon2.bin");

  const std::uint8_t adminKey[24] = {1};
  const char* serial = "00112233445566778899AABBCCDDEEFF";
  EXPECT_EQ(CreateSecureContainer("1234", adminKey, serial, "/nonexistent/dir", &identity), 2u);
  EXPECT_EQ(CreateSecureContainer("1234", adminKey, serial, std::string(5000, 'x'), &identity), 111u);
  // An identity too long for the key derivation writes nothing.
  DeviceIdentity huge{std::string(200, 'V'), std::string(100, 'P'), "", ""};
  EXPECT_NE(CreateSecureContainer("1234", adminKey, serial, dir.string(), &huge), 0u);
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  EXPECT_EQ(statusMessage(0x80071234), "0x80071234 - (unknown error)");
}

TEST_F(FormatCardTest, DecryptionToolWritesTheStateInClear) {
  ASSERT_EQ(run("1234", key).outcome, FormatOutcome::kCreated);
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

TEST_F(FormatCardTest, ABlankCardAwaitsItsPersonalisation) {
  EXPECT_EQ(CreateBlankContainer((dir / "missing").string(), &identity), 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_FALSE(fs::exists(dir / "missing"));
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

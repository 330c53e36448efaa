// The lenient script scanner, execute(), and the blank card: a container holding an
// applet in its initialisation phase that the personalisation commands then finish.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "base/Hex.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsPINManager.h"
#include "jc/JCRuntimeImpl.h"
#include "personalise/CreateBlankContainer.h"
#include "personalise/ScriptExecutor.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

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

namespace fs = std::filesystem;

TEST(CreateBlankContainerTest, TheStoredCardAwaitsItsPersonalisation) {
  const fs::path dir = fs::temp_directory_path() / ("quillon-blank-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
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

  const std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  for (const ScriptCommand& command : personalisationScript("2468", key, "00112233445566778899AABBCCDDEEFF"))
    EXPECT_EQ(execute(*runtime, command.text.c_str(), command.secret), 0x9000u) << command.text;
  EXPECT_FALSE(applet->pins().isInInitializationMode());
  execute(*runtime, "00A4040409A0000003974254465900");
  EXPECT_EQ(execute(*runtime, "002000800432343638"), 0x9000u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon

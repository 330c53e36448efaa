// The blank card: a container that opens under the device's key and holds an
// applet still in its initialisation phase, which the personalisation commands
// (as another tool sends them through the reader) then turn into a working card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsPINManager.h"
#include "personalise/CreateBlankContainer.h"
#include "personalise/ScriptExecutor.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

class CreateBlankContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-blank-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  test::TraceCapture capture;
};

TEST_F(CreateBlankContainerTest, TheStoredCardAwaitsItsPersonalisation) {
  ASSERT_EQ(CreateBlankContainer(dir.string(), &identity), 0u);
  EXPECT_EQ(capture.sink().count("CreateBlankContainer: GIDS applet saved"), 1u);

  FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                      identity.revision.c_str(), dir.string());
  GidsAppletInstaller installer;
  std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(installer);
  ASSERT_FALSE(persist.refusesSaving());
  auto* applet = dynamic_cast<GidsApplet*>(runtime->getApplet());
  ASSERT_NE(applet, nullptr);
  EXPECT_TRUE(applet->pins().isInInitializationMode());

  // No PIN is set: a VERIFY finds nothing to check against before personalisation.
  execute(*runtime, "00A4040409A0000003974254465900");
  EXPECT_NE(execute(*runtime, "00200080043234363800"), 0x9000u);

  const std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  for (const ScriptCommand& command : personalisationScript("2468", key, "00112233445566778899AABBCCDDEEFF")) {
    SCOPED_TRACE(command.text);
    EXPECT_EQ(execute(*runtime, command.text.c_str(), command.secret), 0x9000u);
  }
  EXPECT_FALSE(applet->pins().isInInitializationMode());
  execute(*runtime, "00A4040409A0000003974254465900");
  EXPECT_EQ(execute(*runtime, "002000800432343638"), 0x9000u);
}

TEST_F(CreateBlankContainerTest, NothingIsWrittenWhereTheDriveIsMissing) {
  const fs::path missing = dir / "missing";
  EXPECT_EQ(CreateBlankContainer(missing.string(), &identity), 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_FALSE(fs::exists(missing / "Quillon2.bin"));
  EXPECT_EQ(capture.sink().count("CreateBlankContainer: opening " + missing.string() + " failed 0x00000002"), 1u);
  EXPECT_NE(CreateBlankContainer("", &identity), 0u);
}

}  // namespace
}  // namespace quillon

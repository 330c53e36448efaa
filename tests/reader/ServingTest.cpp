// Serving the card: loading at power-up, refusing containers that cannot be
// served without touching them, APDUs, persistence and the ATR.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "ReaderFixture.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "platform/DeviceDetails.h"
#include "reader/CardAtr.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

class ServingTest : public ReaderFixture {
 protected:
  // Swallows the stick and expects its container to be refused, and left as it was.
  void expectRefused(const std::string& why) {
    const std::vector<std::uint8_t> before = world.containerBytes();
    ASSERT_TRUE(swallowStick());
    TraceCapture capture;
    if (reader->present()) {
      EXPECT_EQ(powerUp(*reader), IFD_ERROR_POWER_ACTION);
      EXPECT_EQ(capture.sink().count("cannot be served: " + why), 1u) << why;
    }
    EXPECT_FALSE(reader->powered());
    EXPECT_FALSE(reader->present());
    EXPECT_NE(powerUp(*reader), IFD_SUCCESS);
    EXPECT_EQ(send(*reader, kSelectGids).rc, IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(world.containerBytes(), before);
  }
};

TEST_F(ServingTest, AnotherSticksContainerLeavesTheCardAbsentAndTheFileAlone) {
  const DeviceIdentity other{"OTHER", "Pocket Drive", "1.00", "4C5301234567"};
  world.createCard(&other);
  expectRefused("");
  // A different container (the right one) is tried again.
  world.createCard();
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(powerUp(*reader), IFD_SUCCESS);
}

TEST_F(ServingTest, DamagedOrMisplacedContainersAreNotServed) {
  world.createCard();
  std::vector<std::uint8_t> damaged = world.containerBytes();
  damaged[damaged.size() / 2] ^= 0x01;
  std::ofstream(world.containerPath(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
  expectRefused("");
  ASSERT_TRUE(reader->eject());

  // A link at the container's name, even to a good container, is no card.
  world.createCard();
  fs::rename(world.containerPath(), world.tree().root() / "card.bin");
  fs::create_symlink(world.tree().root() / "card.bin", world.containerPath());
  ASSERT_TRUE(swallowStick());
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(powerUp(*reader), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(fs::is_symlink(world.containerPath()));

  // An empty file holds no card.
  fs::remove(world.containerPath());
  std::ofstream(world.containerPath(), std::ios::binary).flush();
  EXPECT_FALSE(reader->present());
}

TEST_F(ServingTest, AWriteProtectedStickIsNotServed) {
  world.createCard();
  world.tree().writeSys(fs::path(world.devicePath()).parent_path().lexically_relative(world.tree().sys()) / "ro",
                        "1\n");
  expectRefused("the medium at " + world.mountDir().string() + " is write-protected");
}

TEST_F(ServingTest, AWrongPinIsStoredBeforeTheAnswerLeaves) {
  serveCard();
  EXPECT_EQ(sw(*reader, "002000800431313131"), 0x63C2);

  // Read the container on its own, as a later power-up would.
  platform::DeviceDetails details;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::GetDeviceDetails(world.paths(), world.mountDir().string(), details, error));
  FilePersist persist(details.serial.c_str(), details.vendor.c_str(), details.product.c_str(), details.revision.c_str(),
                      world.mountDir().string());
  GidsAppletInstaller installer;
  const std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(installer);
  ASSERT_FALSE(persist.refusesSaving());
  const std::vector<std::uint8_t> query = bytes("0020008000");
  std::uint8_t response[258];
  std::uint32_t length = sizeof response;
  ASSERT_EQ(runtime->transmit(query.data(), static_cast<std::uint32_t>(query.size()), response, length), 0u);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(response[0], 0x63);
  EXPECT_EQ(response[1], 0xC2);

  // The reader goes on with the file it wrote: no change is seen.
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(sw(*reader, "002000800431313131"), 0x63C1);
}

TEST_F(ServingTest, EveryPowerUpIsAReset) {
  serveCard();
  ASSERT_EQ(sw(*reader, "002000800431323334"), 0x9000);
  EXPECT_NE(sw(*reader, "00CBA013045C02DF20"), 0x6982);  // the verified PIN opens it
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);              // IFD_RESET comes here as well
  ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  EXPECT_EQ(sw(*reader, "00CBA013045C02DF20"), 0x6982);
  ASSERT_EQ(sw(*reader, "002000800431323334"), 0x9000);
  reader->powerDown();
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(send(*reader, kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);
  ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  EXPECT_EQ(sw(*reader, "00CBA013045C02DF20"), 0x6982);
}

TEST_F(ServingTest, CommandsOfTheWrongSizeAreAnsweredNotThrown) {
  serveCard();
  std::string huge = "00DB3FFF00" + std::string("0202") + "00";  // extended length header
  huge += std::string(2 * 600, 'A');
  EXPECT_EQ(send(*reader, huge).sw, 0x6700);
  EXPECT_EQ(send(*reader, "00A4").sw, 0x6700);
  EXPECT_EQ(send(*reader, "").sw, 0x6700);
  EXPECT_EQ(sw(*reader, kSelectGids), 0x9000);  // the card carries on

  const std::vector<std::uint8_t> select = bytes(kSelectGids);
  std::array<std::uint8_t, 1> small{};
  std::size_t length = 99;
  EXPECT_EQ(reader->transmit(select, small, length), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);
}

TEST_F(ServingTest, AStateThatCannotBeStoredWithholdsTheAnswerAndResetsTheCard) {
  serveCard();
  const std::vector<std::uint8_t> before = world.containerBytes();
  ASSERT_TRUE(reader->present());
  // Files may not grow past 64 bytes for the length of one command.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const Answer answer = send(*reader, "002000800431313131");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(answer.rc, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(answer.sw, 0u);
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(world.containerBytes(), before);
  EXPECT_FALSE(reader->present());  // reported gone once
  EXPECT_TRUE(reader->present());
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);
  ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  EXPECT_EQ(sw(*reader, "0020008000"), 0x63C3);  // the try that was not stored did not count
}

TEST(CardAtrTest, OffersT1WithTheProductNameAndARightCheckByte) {
  const auto& atr = reader::kCardAtr;
  ASSERT_GE(atr.size(), 4u);
  EXPECT_EQ(atr[0], 0x3B);
  const std::size_t historical = atr[1] & 0x0F;
  ASSERT_EQ(atr[1] & 0xF0, 0x80);  // only TD1 follows T0
  EXPECT_EQ(atr[2], 0x01);         // TD1: T=1, nothing more
  ASSERT_EQ(atr.size(), 3 + historical + 1);
  EXPECT_EQ(std::string(atr.begin() + 3, atr.begin() + 3 + static_cast<std::ptrdiff_t>(historical)), "Quillon");
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  EXPECT_EQ(check, 0);
  EXPECT_EQ(atr.back(), 0xCA);  // 87^01^'Q'^'u'^'i'^'l'^'l'^'o'^'n', worked out with Python
}

}  // namespace
}  // namespace quillon::test

// Serving the card: loading at power-up, refusing containers that cannot be
// served without touching them, APDUs and persistence.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "ReaderFixture.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

class ServingTest : public ReaderFixture {
 protected:
  // Swallows the stick and expects its container to be refused, and left as it was.
  void expectRefused(const std::string& why) {
    const Bytes before = world.containerBytes();
    ASSERT_TRUE(swallowStick());
    TraceCapture capture;
    if (reader->present()) {
      EXPECT_EQ(powerUp(), IFD_ERROR_POWER_ACTION);
      EXPECT_EQ(capture.sink().count("cannot be served: " + why), 1u) << why;
    }
    EXPECT_FALSE(reader->powered());
    EXPECT_FALSE(reader->present());
    EXPECT_NE(powerUp(), IFD_SUCCESS);
    EXPECT_EQ(send(kSelectGids).rc, IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(world.containerBytes(), before);
  }
};

TEST_F(ServingTest, ContainersThatCannotBeServedLeaveTheCardAbsentAndTheFileAlone) {
  const DeviceIdentity other{"OTHER", "Pocket Drive", "1.00", "4C5301234567"};
  world.createCard(&other);
  expectRefused("");
  // A different container (the right one) is tried again.
  world.createCard();
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(powerUp(), IFD_SUCCESS);
  ASSERT_TRUE(reader->eject());
  EXPECT_FALSE(reader->present());

  Bytes damaged = world.containerBytes();
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
  EXPECT_EQ(powerUp(), IFD_ICC_NOT_PRESENT);
  EXPECT_TRUE(fs::is_symlink(world.containerPath()));

  // An empty file holds no card.
  fs::remove(world.containerPath());
  std::ofstream(world.containerPath(), std::ios::binary).flush();
  EXPECT_FALSE(reader->present());

  // A good container on a write-protected stick.
  fs::remove(world.containerPath());
  world.createCard();
  world.tree().writeSys(fs::path(world.devicePath()).parent_path().lexically_relative(world.tree().sys()) / "ro",
                        "1\n");
  expectRefused("the medium at " + world.mountDir().string() + " is write-protected");
}

TEST_F(ServingTest, EveryPowerUpIsAReset) {
  serveCard();
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  EXPECT_NE(sw("00CBA013045C02DF20"), 0x6982);  // the verified PIN opens it
  powerUpAndSelect();                           // IFD_RESET comes here as well
  EXPECT_EQ(sw("00CBA013045C02DF20"), 0x6982);
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  reader->powerDown();
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(send(kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  powerUpAndSelect();
  EXPECT_EQ(sw("00CBA013045C02DF20"), 0x6982);
}

TEST_F(ServingTest, CommandsOfTheWrongSizeAreAnsweredNotThrown) {
  serveCard();
  EXPECT_EQ(sw("00DB3FFF00020200" + std::string(2 * 600, 'A')), 0x6700);  // extended length header
  EXPECT_EQ(sw("00A4"), 0x6700);
  EXPECT_EQ(sw(""), 0x6700);
  EXPECT_EQ(sw(kSelectGids), 0x9000);  // the card carries on

  std::array<std::uint8_t, 1> small{};
  std::size_t length = 99;
  EXPECT_EQ(reader->transmit(fromHex(kSelectGids), small, length), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);
}

TEST_F(ServingTest, AStateThatCannotBeStoredWithholdsTheAnswerAndResetsTheCard) {
  serveCard();
  const Bytes before = world.containerBytes();
  ASSERT_TRUE(reader->present());
  // Files may not grow past 64 bytes for the length of one command.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const Answer answer = send("002000800431313131");
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(answer.rc, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(answer.sw, 0u);
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(world.containerBytes(), before);
  EXPECT_FALSE(reader->present());  // reported gone once
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(sw("0020008000"), 0x63C3);  // the try that was not stored did not count
}

}  // namespace
}  // namespace quillon::test

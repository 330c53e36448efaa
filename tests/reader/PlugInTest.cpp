// A stick with a card, plugged in, is served without SWALLOW, as a card put into
// a reader: when its volume is newly mounted, or already mounted when the
// reader's channel opens. Never a card that appears on a volume mounted all
// along, never one of two at once, never an ejected stick before it is mounted
// anew, never a container that does not open with its stick's identity.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ReaderFixture.h"
#include "reader/StateFile.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class PlugInTest : public ReaderFixture {
 protected:
  reader::RememberedVolume remembered() const {
    reader::RememberedVolume volume;
    EXPECT_EQ(reader::StateFile(world.statePath().string()).load(volume), 0);
    return volume;
  }

  // A second stick, sdc (8:33) with a serial of its own, and the mountinfo line
  // that mounts it at otherDir() under mount ID `id`.
  void plugOther() {
    SysfsTree::Stick other = SysfsTree::stickAt("sdc", 32, 8);
    other.serial = "4C5309999999\n";
    world.tree().addUsbStick(other);
    fs::create_directories(otherDir());
  }
  fs::path otherDir() { return world.tree().root() / "media" / "OTHER"; }
  std::string otherMount(int id) {
    return std::to_string(id) + " 26 8:33 / " + otherDir().string() + " rw shared:41 - vfat /dev/sdc1 rw\n";
  }
  void createOtherCard() {
    const Bytes key = fromHex("0102030405060708090A0B0C0D0E0F101112131415161718");
    ASSERT_EQ(CreateSecureContainer(kCardPin, key.data(), kCardSerial, otherDir().string(), nullptr, world.paths()),
              0u);
  }
};

TEST_F(PlugInTest, ACardOnANewlyMountedStickIsServedAndRemembered) {
  // Written to a volume mounted all along (init --no-reader, or a card created
  // between EJECT and SWALLOW): no stick arrived, nothing is taken.
  world.createCard();
  for (int poll = 0; poll < 3; ++poll) EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(fs::exists(world.statePath()));

  // Pulled out and plugged in again: the wait notices it on its own.
  world.unmount();
  EXPECT_FALSE(reader->present());
  EXPECT_LT(waitAcross([&] { world.mountAnew(); }), 2s);
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(sw("002000800431323334"), 0x9000);
  const reader::RememberedVolume state = remembered();
  EXPECT_EQ(state.devicePath, world.devicePath());
  ASSERT_TRUE(state.identity);
  EXPECT_EQ(state.identity->serial, "4C5301234567");
  EXPECT_TRUE(state.ejected.empty());
}

TEST_F(PlugInTest, AChannelOpeningTakesUpTheMountedCard) {
  // pcscd started by the client after the stick was mounted.
  world.createCard();
  openReader();
  const std::string ours = world.devicePath();
  EXPECT_EQ(reader->volume(), ours);
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(remembered().devicePath, ours);

  // A stick mounted while a card is served is not new later, when that card goes.
  plugOther();
  world.setMounts(world.mountDir(), otherMount(41));
  createOtherCard();
  EXPECT_TRUE(reader->present());
  world.setMounts({}, otherMount(41));
  for (int poll = 0; poll < 3; ++poll) EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), ours);
}

TEST_F(PlugInTest, TwoNewCardsAtOnceAreNeitherTakenAndTheReasonIsLogged) {
  world.createCard();
  plugOther();
  world.setMounts(world.mountDir(), otherMount(41));
  createOtherCard();
  TraceCapture capture;
  openReader();
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(capture.sink().count("2 volumes newly mounted carry a card"), 1u);
  EXPECT_FALSE(fs::exists(world.statePath()));

  // Both plugged in again between two polls: the same.
  world.setMounts({});
  EXPECT_FALSE(reader->present());
  world.mountAnew(otherMount(42));
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(capture.sink().count("2 volumes newly mounted carry a card"), 2u);
  EXPECT_TRUE(reader->volume().empty());

  // One at a time, the first is taken.
  world.setMounts({});
  EXPECT_FALSE(reader->present());
  world.mountAnew();
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(reader->volume(), world.devicePath());
}

TEST_F(PlugInTest, AnEjectedStickIsNotTakenBackUntilItIsMountedAnew) {
  serveCard();
  ASSERT_TRUE(reader->eject());
  for (int poll = 0; poll < 3; ++poll) EXPECT_FALSE(reader->present());
  openReader();  // pcscd went and came back, the stick still mounted
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(remembered().ejected.size(), 1u);

  // Unmounted and mounted again, even under the same mount ID: taken.
  world.unmount();
  EXPECT_FALSE(reader->present());
  world.setMounts(world.mountDir());
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(reader->volume(), world.devicePath());
  const reader::RememberedVolume state = remembered();
  EXPECT_EQ(state.devicePath, world.devicePath());
  EXPECT_TRUE(state.ejected.empty());
  // The older format again, while nothing is ejected.
  std::ifstream in(world.statePath());
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header, "quillon-reader-state 2");

  // Ejected, then plugged in again while pcscd was away: a new mount ID.
  ASSERT_TRUE(reader->eject());
  reader.reset();
  world.mountAnew();
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(remembered().ejected.empty());

  // SWALLOW takes an ejected stick back at once, and forgets it was ejected.
  ASSERT_TRUE(reader->eject());
  ASSERT_TRUE(swallowStick());
  EXPECT_TRUE(remembered().ejected.empty());
}

TEST_F(PlugInTest, AContainerThatDoesNotOpenIsNotTaken) {
  world.createCard();
  const Bytes good = world.containerBytes();
  const DeviceIdentity other{"ACME", "Pocket Drive", "1.00", "4C5309999999"};
  world.createCard(&other);
  const Bytes otherStick = world.containerBytes();
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"another stick's card", otherStick},
      {"garbage", Bytes(4096, 0xA5)},
      {"cut short", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2))},
      {"one bit flipped",
       [&] {
         Bytes flipped = good;
         flipped[flipped.size() / 2] ^= 0x01;
         return flipped;
       }()},
      {"a nonce alone", Bytes(good.begin(), good.begin() + 12)},
  };
  for (const auto& c : cases) {
    world.unmount();
    EXPECT_FALSE(reader->present());
    {
      std::ofstream out(world.containerPath(), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
    }
    TraceCapture capture;
    world.mountAnew();
    EXPECT_FALSE(reader->present()) << c.what;
    EXPECT_TRUE(reader->volume().empty()) << c.what;
    EXPECT_EQ(capture.sink().count("newly mounted, is not taken up"), 1u) << c.what;
    EXPECT_EQ(world.containerBytes(), c.bytes) << c.what;  // never written
  }
  EXPECT_FALSE(fs::exists(world.statePath()));

  // A name that is no regular file, or an empty one, is passed over quietly.
  world.unmount();
  fs::remove(world.containerPath());
  fs::create_directory(world.containerPath());
  world.mountAnew();
  EXPECT_FALSE(reader->present());
  world.unmount();
  fs::remove(world.containerPath());
  std::ofstream(world.containerPath()).flush();
  world.mountAnew();
  EXPECT_FALSE(reader->present());

  // The good card still is taken.
  world.unmount();
  EXPECT_FALSE(reader->present());
  {
    std::ofstream out(world.containerPath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
  }
  world.mountAnew();
  EXPECT_TRUE(reader->present());
}

}  // namespace
}  // namespace quillon::test

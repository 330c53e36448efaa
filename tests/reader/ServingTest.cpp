// What the sequences cannot say in data: a state that cannot be stored, answers
// that do not fit, malformed control input, and the polling wait's timing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "ReaderFixture.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using reader::VirtualReader;

// Files may not grow past `bytes` while it lives; restored however the test ends.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    struct rlimit tight = saved_;
    tight.rlim_cur = bytes;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &tight) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  sighandler_t handler_;
  bool ok_ = false;
};

class ServingTest : public ReaderFixture {};

TEST_F(ServingTest, AStateThatCannotBeStoredWithholdsTheAnswerAndResetsTheCard) {
  serveCard();
  const Bytes before = world.containerBytes();
  Answer answer;
  {
    const FileSizeLimit limit(64);
    ASSERT_TRUE(limit.ok());
    answer = send("002000800431313131");
  }
  EXPECT_EQ(answer.rc, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(answer.sw, 0u);
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(world.containerBytes(), before);
  EXPECT_FALSE(reader->present());  // reported gone once
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(sw("0020008000"), 0x63C3);  // the try that was not stored did not count
}

TEST_F(ServingTest, AnswersThatDoNotFitAndCommandsOfTheWrongSize) {
  serveCard();
  EXPECT_EQ(sw("00DB3FFF00020200" + std::string(2 * 600, 'A')), 0x6700);  // extended length header
  std::array<std::uint8_t, 1> small{};
  std::size_t length = 99;
  EXPECT_EQ(reader->transmit(fromHex(kSelectGids), small, length), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(sw(kSelectGids), 0x9000);  // the card carries on
}

TEST_F(ServingTest, MalformedSwallowInputIsRefusedAndChangesNothing) {
  world.createCard();
  const Bytes good = StickWorld::swallowInput(world.devicePath());
  Bytes odd = good, innerNul = good, loneSurrogate = good;
  odd.push_back(0);
  innerNul[4] = innerNul[5] = 0;
  loneSurrogate[2] = 0x00;
  loneSurrogate[3] = 0xD8;
  Bytes overlong(2 * 4097, 0);  // 4,097 UTF-16 units with the NUL: one too many
  for (std::size_t i = 0; i + 2 < overlong.size(); i += 2) overlong[i] = '/';
  for (const Bytes& input :
       {Bytes{}, Bytes{0, 0}, odd, Bytes(good.begin(), good.end() - 2), innerNul, overlong, loneSurrogate}) {
    EXPECT_EQ(reader->control(VirtualReader::kSwallow, input), IFD_COMMUNICATION_ERROR) << input.size();
  }
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(fs::exists(world.statePath()));
}

TEST_F(ServingTest, TheWaitEndsAtOnceForEachChangeAndOneStopEndsOneWait) {
  serveCard();
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(reader->eject()); }, 10s), 1s);
  EXPECT_FALSE(reader->present());
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(swallowStick()); }, 10s), 1s);
  EXPECT_TRUE(reader->present());
  EXPECT_GE(waitAcross([] {}, 300ms), 300ms);
  // The container gives no signal: found on the next look, a quarter second on.
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(fs::remove(world.containerPath())); }), 2s);
  EXPECT_FALSE(reader->present());
  // A stick pulled and plugged in again elsewhere, noticed by the wait alone.
  world.createCard();
  ASSERT_TRUE(reader->present());
  EXPECT_LT(waitAcross([&] {
              SysfsTree::Stick stick;
              stick.scsiHost = 7;
              world.replug(stick);
              world.mountAnew();
            }),
            2s);
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_FALSE(reader->present());  // a new card: gone once
  EXPECT_TRUE(reader->present());

  // pcscd stops the wait at every disconnect to wait again: the next wait must
  // sleep, or its polling thread spins. A stop between two waits ends the next.
  EXPECT_LT(waitAcross([&] { reader->stopWaiting(); }), 1s);
  EXPECT_GE(waitAcross([] {}, 400ms), 300ms);
  reader->stopWaiting();
  EXPECT_LT(waitAcross([] {}), 1s);
  EXPECT_GE(waitAcross([] {}, 400ms), 300ms);
}

TEST_F(ServingTest, AFailedLoadWakesTheWaitToShowTheCardGone) {
  const DeviceIdentity other{"OTHER", "X", "1", "2"};
  world.createCard(&other);
  ASSERT_TRUE(swallowStick());
  ASSERT_TRUE(reader->present());
  EXPECT_LT(waitAcross([&] { EXPECT_EQ(powerUp(), IFD_ERROR_POWER_ACTION); }), 1s);
  EXPECT_FALSE(reader->present());
}

}  // namespace
}  // namespace quillon::test

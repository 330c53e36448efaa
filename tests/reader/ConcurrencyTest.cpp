// pcscd calls the driver from several threads: every card operation is
// serialised by the reader's one mutex (run under ASan in the dev preset).
// A transmit waits for another writer's drive lock a second at most, then runs
// on the container as that writer left it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "ReaderFixture.h"
#include "support/HeldDriveLock.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ConcurrencyTest : public ReaderFixture {};

TEST_F(ConcurrencyTest, WrongPinsFromManyThreadsAreEachCountedOnceAndStored) {
  serveCard();
  std::atomic<bool> done{false};
  std::atomic<int> absent{0};
  std::thread events([&] {  // pcscd's event thread: presence and its wait, all the while
    while (!done) {
      if (!reader->present()) ++absent;
      reader->waitForChange(5ms);
    }
  });
  std::vector<std::future<std::uint16_t>> tries;
  for (int t = 0; t < 3; ++t)
    tries.push_back(std::async(std::launch::async, [&] {
      EXPECT_EQ(sw(kSelectGids), 0x9000);
      return sw("002000800431313131");
    }));
  std::vector<std::uint16_t> answers;
  for (auto& answer : tries) answers.push_back(answer.get());
  done = true;
  events.join();
  EXPECT_EQ(absent.load(), 0);
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers, (std::vector<std::uint16_t>{0x63C0, 0x63C1, 0x63C2}));
  powerUpAndSelect();  // what the file holds
  EXPECT_EQ(sw("002000800431323334"), 0x6983);
}

TEST_F(ConcurrencyTest, AnotherWritersLockIsWaitedForASecondAndWhatItReplacedIsNotAnsweredFrom) {
  serveCard();
  const Bytes before = world.containerBytes();
  {
    HeldDriveLock held(world.mountDir());
    const auto start = Clock::now();
    EXPECT_EQ(send("002000800431313131").rc, IFD_COMMUNICATION_ERROR);  // a wrong PIN, never sent
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(world.containerBytes(), before);
  }
  EXPECT_TRUE(reader->powered());  // not a reset: the card is as it was
  {
    HeldDriveLock held(world.mountDir());  // let go within the second: waited for
    held.releaseAfter(200ms);
    const auto start = Clock::now();
    EXPECT_EQ(sw("002000800431313131"), 0x63C2);  // the refused try was not counted
    EXPECT_GE(Clock::now() - start, 150ms);
  }
  // Another writer's save, a new file renamed over the container, while a command waits.
  const Bytes counted = world.containerBytes();
  HeldDriveLock held(world.mountDir());
  held.releaseAfter(300ms);
  auto answer = std::async(std::launch::async, [&] { return send("002000800431313131"); });
  std::this_thread::sleep_for(100ms);
  fs::copy_file(world.containerPath(), world.mountDir() / "copy.bin");
  fs::rename(world.mountDir() / "copy.bin", world.containerPath());
  EXPECT_EQ(answer.get().rc, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(world.containerBytes(), counted);
  EXPECT_FALSE(reader->powered());
}

}  // namespace
}  // namespace quillon::test

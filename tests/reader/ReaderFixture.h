// A VirtualReader on a StickWorld, driven the way pcscd drives it: power-up with an
// ATR buffer, one APDU as hex text with the answer split into data and status
// word, the polling wait on a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "base/Hex.h"
#include "reader/VirtualReader.h"
#include "support/StickWorld.h"
#include "support/TestData.h"

namespace quillon::test {

using Clock = std::chrono::steady_clock;

struct Answer {
  RESPONSECODE rc = IFD_COMMUNICATION_ERROR;
  std::string data;  // upper-case hex
  std::uint16_t sw = 0;
};

class ReaderFixture : public ::testing::Test {
 protected:
  ReaderFixture() { openReader(); }

  // A new reader on the same configuration, as after a pcscd restart.
  void openReader() {
    reader.reset();
    reader = std::make_unique<reader::VirtualReader>(world.config());
  }
  bool swallow(const std::string& path) { return reader->swallow(platform::encodeDevicePath(path)); }
  bool swallowStick() { return swallow(world.devicePath()); }

  Answer send(const std::string& hex) {
    std::array<std::uint8_t, 65548> response{};  // what pcscd offers
    std::size_t length = 0;
    Answer answer;
    answer.rc = reader->transmit(fromHex(hex), response, length);
    if (answer.rc == IFD_SUCCESS && length >= 2) {
      answer.data = hex::encode({response.data(), length - 2});
      answer.sw = static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
    }
    return answer;
  }
  std::uint16_t sw(const std::string& hex) { return send(hex).sw; }
  RESPONSECODE powerUp() {
    std::array<std::uint8_t, 33> atr{};
    std::size_t length = 0;
    return reader->powerUp(atr, length);
  }

  // Powered (a reset as well) and its application selected.
  void powerUpAndSelect() {
    ASSERT_EQ(powerUp(), IFD_SUCCESS);
    ASSERT_EQ(sw(kSelectGids), 0x9000);
  }
  // Card created, swallowed, reported present, powered and selected.
  void serveCard() {
    world.createCard();
    ASSERT_TRUE(swallowStick());
    ASSERT_TRUE(reader->present());
    powerUpAndSelect();
  }

  // How long a polling wait of `timeout`, started 50 ms before `change`, lasted;
  // it must end within 5 s.
  Clock::duration waitAcross(const std::function<void()>& change,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto waiting = std::async(std::launch::async, [this, timeout] {
      const auto start = Clock::now();
      reader->waitForChange(timeout);
      return Clock::now() - start;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    change();
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    return waiting.get();
  }

  StickWorld world;
  std::unique_ptr<reader::VirtualReader> reader;
};

}  // namespace quillon::test

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "base/Status.h"
#include "jc/ISO7816.h"
#include "jc/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "TestApplet.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ScriptedApplet;

class RuntimeTest : public ::testing::Test {
 protected:
  // Sends a command; returns the response bytes (data then SW1 SW2).
  Bytes send(const Bytes& command) {
    std::uint8_t response[300];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length), 0u);
    return Bytes(response, response + length);
  }

  void install(ScriptedApplet::Handler handler) { ScriptedApplet::install(runtime, std::move(handler)); }

  JCRuntimeImpl runtime;
};

TEST_F(RuntimeTest, NoAppletMeansNoDevice) {
  std::uint8_t response[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  std::uint32_t length = sizeof response;
  const std::uint8_t command[] = {0x00, 0xA4, 0x04, 0x00};
  EXPECT_EQ(runtime.transmit(command, 4, response, length), status::STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(response[0], 0xAA);
}

TEST_F(RuntimeTest, DataAndStatusWordComeBack) {
  install([](APDU& apdu) {
    auto& buffer = apdu.getBuffer();
    for (int i = 0; i < 10; ++i) buffer[i] = static_cast<std::uint8_t>(0xA0 + i);
    apdu.setOutgoingAndSend(0, 10);
  });
  const Bytes r = send({0x00, 0xCA, 0x00, 0x00, 0x00});
  ASSERT_EQ(r.size(), 12u);
  EXPECT_EQ(r[0], 0xA0);
  EXPECT_EQ(r[9], 0xA9);
  EXPECT_EQ(r[10], 0x90);
  EXPECT_EQ(r[11], 0x00);
}

TEST_F(RuntimeTest, IsoExceptionsBecomeTheirStatusWord) {
  std::uint16_t reason = 0;
  bool sendFirst = false;
  install([&](APDU& apdu) {
    if (sendFirst) apdu.setOutgoingAndSend(0, 4);
    ISOException::throwIt(reason);
  });
  reason = 0x6A82;
  EXPECT_EQ(send({0x00, 0xA4, 0x00, 0x00}), (Bytes{0x6A, 0x82}));
  reason = 0x9000;  // an early successful end keeps the data sent before it
  sendFirst = true;
  EXPECT_EQ(send({0x00, 0xA4, 0x00, 0x00}), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x90, 0x00}));
  reason = 0x6103;
  EXPECT_EQ(send({0x00, 0xA4, 0x00, 0x00}), (Bytes{0x00, 0xA4, 0x00, 0x00, 0x61, 0x03}));
}

TEST_F(RuntimeTest, EveryOtherExceptionBecomes6F00) {
  int which = 0;
  install([&](APDU&) {
    switch (which) {
      case 0: CryptoException::throwIt(CryptoException::PLATFORM_ERROR);
      case 1: SystemException::throwIt(SystemException::NO_RESOURCE);
      case 2: throw NotFoundException();
      case 3: throw std::runtime_error("boom");
      default: throw 42;
    }
  });
  for (which = 0; which < 5; ++which) EXPECT_EQ(send({0x00, 0x01, 0x00, 0x00}), (Bytes{0x6F, 0x00})) << which;
}

TEST_F(RuntimeTest, OutgoingDataIsLimitedTo256Bytes) {
  install([](APDU& apdu) {
    apdu.sendBytes(0, 200);
    apdu.sendBytes(0, 57);
  });
  const Bytes r = send({0x11, 0x22, 0x33});
  ASSERT_EQ(r.size(), 202u);
  EXPECT_EQ(r[0], 0x11);
  EXPECT_EQ(r[3], 0x00);
  EXPECT_EQ(r[200], 0x6F);
  EXPECT_EQ(r[201], 0x00);
}

TEST_F(RuntimeTest, SendRangesAreCheckedAgainstTheirSource) {
  std::uint16_t offset = 0, length = 0;
  bool fromArray = false;
  install([&](APDU& apdu) {
    if (fromArray) {
      std::uint8_t bytes[4] = {1, 2, 3, 4};
      apdu.sendBytesLong(ByteArray::view(bytes, 4), offset, length);
    } else {
      apdu.sendBytes(offset, length);
    }
  });
  offset = 500, length = 12;
  EXPECT_EQ(send({0x00}).size(), 14u);  // ends exactly at the 512th byte
  offset = 500, length = 13;
  EXPECT_EQ(send({0x00}), (Bytes{0x6F, 0x00}));
  offset = 0xFFFF, length = 2;  // no 16-bit wrap
  EXPECT_EQ(send({0x00}), (Bytes{0x6F, 0x00}));
  fromArray = true;
  offset = 2, length = 2;
  EXPECT_EQ(send({0x00}), (Bytes{3, 4, 0x90, 0x00}));
  offset = 2, length = 3;
  EXPECT_EQ(send({0x00}), (Bytes{0x6F, 0x00}));
}

TEST_F(RuntimeTest, ShortFormLengthsAreReadFromTheBuffer) {
  std::uint16_t lc = 0xFFFF, le = 0xFFFF;
  install([&](APDU& apdu) {
    lc = apdu.setIncomingAndReceive();
    le = apdu.setOutgoing();
    EXPECT_EQ(apdu.receiveBytes(5), 0);
  });
  send({0x00, 0x20, 0x00, 0x80});  // CLA INS P1 P2 only: the zeroed buffer gives Lc 0
  EXPECT_EQ(lc, 0);
  EXPECT_EQ(le, 0);
  send({0x00, 0xA4, 0x04, 0x00, 0x09, 0xA0, 0x00, 0x00, 0x03, 0x97, 0x42, 0x54, 0x46, 0x59, 0x00});
  EXPECT_EQ(lc, 9);
  EXPECT_EQ(le, 0);  // Le 00 is reported as 0, not 256
  send({0x00, 0xCB, 0x3F, 0xFF, 0x02, 0x5C, 0x00, 0x80});
  EXPECT_EQ(le, 0x80);
}

TEST_F(RuntimeTest, EachCommandGetsAFreshBuffer) {
  Bytes seen;
  install([&](APDU& apdu) {
    auto& b = apdu.getBuffer();
    seen.assign(b.data(), b.data() + 8);
    b[7] = 0x77;  // scribbles that must not reach the next command
  });
  send({1, 2, 3, 4, 5, 6, 7, 8});
  send({9, 9});
  EXPECT_EQ(seen, (Bytes{9, 9, 0, 0, 0, 0, 0, 0}));
}

TEST_F(RuntimeTest, ResponseBufferTooSmallLeavesTheResponseAlone) {
  install([](APDU& apdu) { apdu.sendBytes(0, 3); });
  const std::uint8_t command[] = {1, 2, 3};
  std::uint8_t response[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  std::uint32_t length = 4;  // n + 1 for n = 3
  EXPECT_EQ(runtime.transmit(command, 3, response, length), status::STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(response[0], 0xEE);
  length = 5;
  EXPECT_EQ(runtime.transmit(command, 3, response, length), 0u);
  EXPECT_EQ(length, 5u);
  std::uint32_t zero = 0;
  EXPECT_EQ(runtime.transmit(command, 3, nullptr, zero), status::STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RuntimeTest, CommandsLongerThanTheBufferAreRefused) {
  install([](APDU&) {});
  const std::size_t before = runtime.persistentBlockCount();
  Bytes command(513, 0x00);
  std::uint8_t response[8];
  std::uint32_t length = sizeof response;
  try {
    runtime.transmit(command.data(), 513, response, length);
    FAIL() << "a 513-byte command was accepted";
  } catch (const ISOException& e) {
    EXPECT_EQ(e.getReason(), 0x6700);
  }
  EXPECT_EQ(runtime.persistentBlockCount(), before);  // the APDU object went with the exception
  command.resize(512);
  EXPECT_EQ(runtime.transmit(command.data(), 512, response, length), 0u);
  EXPECT_EQ(runtime.transmit(nullptr, 4, response, length), status::STATUS_INVALID_PARAMETER);
}

struct RecordingProvider final : IJCRuntimeSerializable {
  int saves = 0;
  std::uint32_t save(IJCRuntime&) override {
    ++saves;
    return 0;
  }
};

TEST(RuntimePersist, PersistReachesTheProviderOnlyWhenAsked) {
  RecordingProvider provider;
  JCRuntimeImpl runtime(&provider);
  bool persist = false;
  ScriptedApplet::install(runtime, [&](APDU&) {
    if (persist) runtime.persist();
  });
  const std::uint8_t command[] = {0, 0, 0, 0};
  std::uint8_t response[4];
  std::uint32_t length = 4;
  runtime.transmit(command, 4, response, length);
  EXPECT_EQ(provider.saves, 0);  // transmit never persists by itself
  persist = true;
  length = 4;
  runtime.transmit(command, 4, response, length);
  EXPECT_EQ(provider.saves, 1);

  JCRuntimeImpl withoutProvider;
  withoutProvider.persist();  // nothing to call, nothing happens
}

TEST(RuntimeApplet, ReplacingTheAppletDestroysItAndReportsLeaks) {
  test::TraceCapture capture;
  JCRuntimeImpl runtime;
  int destroyed = 0;
  auto* applet = ScriptedApplet::install(runtime, [](APDU&) {}, &destroyed);
  runtime.setApplet(applet);  // the current applet again: nothing happens
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(runtime.getApplet(), applet);

  runtime.allocatePersistent(16, JC_HERE("LeakyOwner::first"));
  runtime.allocatePersistent(32, JC_HERE("LeakyOwner::second"));
  runtime.setApplet(nullptr);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(runtime.getApplet(), nullptr);
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  // Each leak is reported at the location that allocated the block.
  std::vector<std::string> leaks;
  for (const auto& line : capture.sink().lines())
    if (line.text.find("Memory Leaked (persistent)") != std::string::npos)
      leaks.push_back(line.text.substr(0, line.text.find('(')));
  EXPECT_EQ(leaks, (std::vector<std::string>{"LeakyOwner::second", "LeakyOwner::first"}));

  const std::uint8_t command[] = {0, 0, 0, 0};
  std::uint8_t response[4];
  std::uint32_t length = 4;
  EXPECT_EQ(runtime.transmit(command, 4, response, length), status::STATUS_NO_SUCH_DEVICE);
}

TEST(RuntimeApplet, DestroyingTheRuntimeDestroysItsApplet) {
  int destroyed = 0;
  {
    JCRuntimeImpl runtime;
    ScriptedApplet::install(runtime, [](APDU&) {}, &destroyed);
  }
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace quillon

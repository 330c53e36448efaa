// transmit() with a small test applet: data and status words, exceptions turned
// into status words, buffer limits, persistence on request, persistent memory
// accounting and leak reports.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "base/Status.h"
#include "jc/APDU.h"
#include "jc/CapacityScope.h"
#include "jc/IApplet.h"
#include "jc/PersistentObject.h"
#include "runtime/JCRuntimeImpl.h"
#include "runtime/StateLimits.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// process() runs whatever handler the test gives.
class ScriptedApplet final : public IApplet {
 public:
  using Handler = std::function<void(APDU&)>;

  ScriptedApplet(IJCRuntime& runtime, Handler handler, int* destroyed)
      : runtime_(runtime), handler_(std::move(handler)), destroyed_(destroyed) {}
  ~ScriptedApplet() override {
    if (destroyed_) ++*destroyed_;
    runtime_.setApplet(nullptr);  // as a real applet does when it goes
  }
  void process(APDU& apdu) override { handler_(apdu); }
  void serialize(IArchive&) override {}

  // Places an applet in the runtime's persistent memory and makes it current.
  static ScriptedApplet* install(IJCRuntime& runtime, int* destroyed, Handler handler) {
    auto* applet = makePersistent<ScriptedApplet>(runtime, JC_HERE("ScriptedApplet::install"), runtime,
                                                  std::move(handler), destroyed);
    runtime.setApplet(applet);
    return applet;
  }

 private:
  IJCRuntime& runtime_;
  Handler handler_;
  int* destroyed_;
};

class RuntimeTest : public ::testing::Test {
 protected:
  // Sends a command; returns the response bytes (data then SW1 SW2).
  Bytes send(const Bytes& command) {
    std::uint8_t response[300];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length), 0u);
    return Bytes(response, response + length);
  }
  void install(ScriptedApplet::Handler handler) { ScriptedApplet::install(runtime, nullptr, std::move(handler)); }

  JCRuntimeImpl runtime;
};

TEST_F(RuntimeTest, ExceptionsBecomeStatusWords) {
  int which = 0;
  install([&](APDU& apdu) {
    switch (which) {
      case 0: apdu.setOutgoingAndSend(0, 4); return;
      case 1: ISOException::throwIt(0x6A82);
      case 2: apdu.setOutgoingAndSend(0, 4); ISOException::throwIt(0x6103);  // keeps the data sent before
      case 3: CryptoException::throwIt(CryptoException::PLATFORM_ERROR);
      case 4: throw NotFoundException();
      case 5: throw std::runtime_error("boom");
      default: throw 42;
    }
  });
  const Bytes expected[] = {{0x00, 0xA4, 0x00, 0x00, 0x90, 0x00}, {0x6A, 0x82}, {0x00, 0xA4, 0x00, 0x00, 0x61, 0x03}};
  for (which = 0; which < 7; ++which)  // anything but an ISOException answers 6F00
    EXPECT_EQ(send({0x00, 0xA4, 0x00, 0x00}), (which < 3 ? expected[which] : Bytes{0x6F, 0x00})) << which;
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
  // Ends at the 512th byte; one past it; no 16-bit wrap; more than 256 bytes out;
  // then from a 4-byte array, within it and one past it.
  const struct {
    bool array;
    std::uint16_t at, count;
    std::size_t answer;
  } cases[] = {{false, 500, 12, 14}, {false, 500, 13, 2}, {false, 0xFFFF, 2, 2},
               {false, 0, 257, 2},   {true, 2, 2, 4},     {true, 2, 3, 2}};
  for (const auto& c : cases) {
    fromArray = c.array, offset = c.at, length = c.count;
    const Bytes answer = send({0x00});
    EXPECT_EQ(answer.size(), c.answer) << c.at << "+" << c.count;
    if (c.answer == 2) {
      EXPECT_EQ(answer, (Bytes{0x6F, 0x00}));
    }
  }
  fromArray = true, offset = 2, length = 2;
  EXPECT_EQ(send({0x00}), (Bytes{3, 4, 0x90, 0x00}));
}

TEST_F(RuntimeTest, EachCommandGetsAFreshBufferAndItsLengths) {
  Bytes seen;
  std::uint16_t lc = 0xFFFF, le = 0xFFFF;
  install([&](APDU& apdu) {
    auto& b = apdu.getBuffer();
    seen.assign(b.data(), b.data() + 8);
    lc = apdu.setIncomingAndReceive();
    le = apdu.setOutgoing();
    b[7] = 0x77;  // scribbles that must not reach the next command
  });
  send({0x00, 0xCB, 0x3F, 0xFF, 0x02, 0x5C, 0x00, 0x80});
  EXPECT_EQ(lc, 2);
  EXPECT_EQ(le, 0x80);
  send({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00});
  EXPECT_EQ(le, 0);  // Le 00 is reported as 0, not 256
  send({0x00, 0x20});
  EXPECT_EQ(seen, (Bytes{0x00, 0x20, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(lc, 0);  // CLA INS only: the zeroed buffer gives Lc 0
}

TEST_F(RuntimeTest, BufferLimitsAndMissingAppletAreReported) {
  std::uint8_t response[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  std::uint32_t length = 4;
  const std::uint8_t command[] = {1, 2, 3};
  EXPECT_EQ(runtime.transmit(command, 3, response, length), status::STATUS_NO_SUCH_DEVICE);
  install([](APDU& apdu) { apdu.sendBytes(0, 3); });
  EXPECT_EQ(runtime.transmit(command, 3, response, length), status::STATUS_BUFFER_TOO_SMALL);  // n + 1 for n = 3
  EXPECT_EQ(response[0], 0xEE);
  length = 5;
  EXPECT_EQ(runtime.transmit(command, 3, response, length), 0u);
  EXPECT_EQ(runtime.transmit(nullptr, 4, response, length), status::STATUS_INVALID_PARAMETER);

  const std::size_t before = runtime.persistentBlockCount();
  Bytes tooLong(513, 0x00);
  try {
    runtime.transmit(tooLong.data(), 513, response, length);
    FAIL() << "a 513-byte command was accepted";
  } catch (const ISOException& e) {
    EXPECT_EQ(e.getReason(), 0x6700);
  }
  EXPECT_EQ(runtime.persistentBlockCount(), before);  // the APDU object went with the exception
  length = 5;
  EXPECT_EQ(runtime.transmit(tooLong.data(), 512, response, length), 0u);
}

struct RecordingProvider final : IJCRuntimeSerializable {
  int saves = 0;
  std::uint32_t save(IJCRuntime&) override { return ++saves, 0; }
};

TEST(RuntimeApplet, PersistsOnRequestAndReportsLeaksWhenTheAppletGoes) {
  TraceCapture capture;
  RecordingProvider provider;
  int destroyed = 0;
  {
    JCRuntimeImpl runtime(&provider);
    bool persist = false;
    bool change = false;
    auto* applet = ScriptedApplet::install(runtime, &destroyed, [&](APDU&) {
      if (change) runtime.noteStateChange();
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
    EXPECT_EQ(provider.saves, 1);  // the applet's installation is not stored yet
    length = 4;
    runtime.transmit(command, 4, response, length);
    EXPECT_EQ(provider.saves, 1);  // nothing changed since: nothing to save
    change = true;
    length = 4;
    runtime.transmit(command, 4, response, length);
    EXPECT_EQ(provider.saves, 2);

    runtime.setApplet(applet);  // the current applet again: nothing happens
    EXPECT_EQ(destroyed, 0);
    runtime.allocatePersistent(16, JC_HERE("LeakyOwner::first"));
    runtime.allocatePersistent(32, JC_HERE("LeakyOwner::second"));
    runtime.setApplet(nullptr);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(runtime.persistentBlockCount(), 0u);
    ScriptedApplet::install(runtime, &destroyed, [](APDU&) {});
  }
  EXPECT_EQ(destroyed, 2);  // the runtime destroys its applet too
  // Each leak is reported at the location that allocated the block.
  std::vector<std::string> leaks;
  for (const auto& line : capture.sink().lines())
    if (line.text.find("Memory Leaked (persistent)") != std::string::npos)
      leaks.push_back(line.text.substr(0, line.text.find('(')));
  EXPECT_EQ(leaks, (std::vector<std::string>{"LeakyOwner::second", "LeakyOwner::first"}));
}

TEST(CardMemory, PersistentBlocksAreCountedAndFreedOnce) {
  TraceCapture capture;
  JCRuntimeImpl runtime;
  ScriptedApplet::install(runtime, nullptr, [](APDU&) {});  // block 0
  void* a = runtime.allocatePersistent(10, JC_HERE("Owner::a"));
  runtime.allocatePersistent(20, JC_HERE("Owner::b"));
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  EXPECT_EQ(runtime.persistentBytes(), sizeof(ScriptedApplet) + 30);
  runtime.freePersistent(a, JC_HERE("Owner::a"));
  runtime.freePersistent(a, JC_HERE("Owner::a"));  // already gone: reported, nothing freed
  runtime.freePersistent(nullptr, JC_HERE("Owner::a"));
  EXPECT_EQ(runtime.persistentBlockCount(), 2u);
  EXPECT_EQ(capture.sink().count("not found"), 1u);
  runtime.setApplet(nullptr);  // releases everything
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  runtime.allocatePersistent(1, JC_HERE("Owner::c"));
  EXPECT_EQ(runtime.allocationCounter(), 4u);  // numbers keep growing across clears

  EXPECT_EQ(runtime.allocatePersistent(~std::uint64_t{0}, JC_HERE("Owner::huge")), nullptr);
  try {
    runtime.persistentMemory().allocate(~std::uint64_t{0}, JC_HERE("Owner::huge"));
    FAIL();
  } catch (const SystemException& e) {
    EXPECT_EQ(e.getReason(), SystemException::NO_RESOURCE);
  }
}

// Commands are held to the capacity, and what they add to the stored state
// (CapacityScope) may not use the working reserve. Loading is not held to it:
// a stored card always opens.
TEST_F(RuntimeTest, CommandsAreHeldToTheCapacityAndGrowthLeavesTheReserve) {
  std::vector<void*> kept;
  std::uint64_t chargedAtTop = 0;
  auto takeAll = [&] {
    for (;;) {
      void* p = runtime.allocatePersistent(8192, JC_HERE("Test::take"));
      if (p == nullptr) ISOException::throwIt(0x6A84);
      kept.push_back(p);
      chargedAtTop = runtime.chargedBytes();
    }
  };
  install([&](APDU& apdu) {  // P1 1: growth of the stored state, else working memory
    if (apdu.getBuffer()[2] != 1) takeAll();
    CapacityScope growth(runtime);
    takeAll();
  });
  const std::uint64_t base = runtime.chargedBytes();
  EXPECT_EQ(send({0x00, 0x01, 0x01, 0x00}), (Bytes{0x6A, 0x84}));
  EXPECT_LE(chargedAtTop, limits::kCardCapacity);
  EXPECT_GT(chargedAtTop + limits::chargeOf(8192), limits::kCardCapacity);
  // A full card's commands still have the working reserve, and no more.
  EXPECT_EQ(send({0x00, 0x01, 0x02, 0x00}), (Bytes{0x6A, 0x84}));
  EXPECT_LE(chargedAtTop, limits::kCardCapacity + limits::kWorkingReserve);
  EXPECT_GT(chargedAtTop + limits::chargeOf(8192), limits::kCardCapacity + limits::kWorkingReserve);

  // Freeing gives the room back; outside a command even a full card takes more.
  for (void* p : kept) runtime.freePersistent(p, JC_HERE("Test::take"));
  EXPECT_EQ(runtime.chargedBytes(), base);
  for (std::uint64_t taken = 0; taken < limits::kCardCapacity + limits::kWorkingReserve; taken += 65536)
    ASSERT_NE(runtime.allocatePersistent(65536, JC_HERE("Test::load")), nullptr);
  runtime.setApplet(nullptr);
  EXPECT_EQ(runtime.chargedBytes(), 0u);
}

}  // namespace
}  // namespace quillon::test

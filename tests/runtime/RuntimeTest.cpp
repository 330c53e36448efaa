// transmit() with a small test applet: data and status words, exceptions turned
// into status words, buffer limits, persistence on request, persistent memory
// accounting and leak reports; card arrays cleared on reset, every range checked.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "base/Status.h"
#include "jc/APDU.h"
#include "jc/CapacityScope.h"
#include "jc/IApplet.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"
#include "runtime/JCRuntimeImpl.h"
#include "runtime/StateLimits.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// process() runs whatever handler the test gives; it counts its own destruction.
class ScriptedApplet final : public IApplet {
 public:
  using Handler = std::function<void(APDU&)>;
  ScriptedApplet(IJCRuntime& runtime, Handler handler, int* destroyed)
      : runtime_(runtime), handler_(std::move(handler)), destroyed_(destroyed) {}
  ~ScriptedApplet() override {
    ++*destroyed_;
    runtime_.setApplet(nullptr);  // as a real applet does when it goes
  }
  void process(APDU& apdu) override { handler_(apdu); }
  void serialize(IArchive&) override {}

 private:
  IJCRuntime& runtime_;
  Handler handler_;
  int* destroyed_;
};

struct RecordingProvider final : IJCRuntimeSerializable {
  int saves = 0;
  std::uint32_t save(IJCRuntime&) override { return ++saves, 0; }
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
  ScriptedApplet* install(ScriptedApplet::Handler handler) {
    auto* applet = makePersistent<ScriptedApplet>(runtime, JC_HERE("ScriptedApplet::install"), runtime,
                                                  std::move(handler), &destroyed);
    runtime.setApplet(applet);
    return applet;
  }

  int destroyed = 0;
  RecordingProvider provider;
  JCRuntimeImpl runtime{&provider};
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
    std::uint8_t bytes[4] = {1, 2, 3, 4};
    fromArray ? apdu.sendBytesLong(ByteArray::view(bytes, 4), offset, length) : apdu.sendBytes(offset, length);
  });
  // Ends at the 512th byte; one past it; no 16-bit wrap; more than 256 bytes out;
  // then from a 4-byte array, within it and one past it.
  const struct {
    bool array;
    std::uint16_t at, count;
    Bytes answer;
  } cases[] = {{false, 500, 12, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x00}},
               {false, 500, 13, {0x6F, 0x00}},
               {false, 0xFFFF, 2, {0x6F, 0x00}},
               {false, 0, 257, {0x6F, 0x00}},
               {true, 2, 2, {3, 4, 0x90, 0x00}},
               {true, 2, 3, {0x6F, 0x00}}};
  for (const auto& c : cases) {
    fromArray = c.array, offset = c.at, length = c.count;
    EXPECT_EQ(send({0x00}), c.answer) << c.at << "+" << c.count;
  }
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
  const Bytes command(513, 0x00);
  EXPECT_EQ(runtime.transmit(command.data(), 3, response, length), status::STATUS_NO_SUCH_DEVICE);
  install([](APDU& apdu) { apdu.sendBytes(0, 3); });
  EXPECT_EQ(runtime.transmit(command.data(), 3, response, length), status::STATUS_BUFFER_TOO_SMALL);  // needs 5
  EXPECT_EQ(response[0], 0xEE);
  length = 5;
  EXPECT_EQ(runtime.transmit(command.data(), 512, response, length), 0u);
  EXPECT_THROW(runtime.transmit(command.data(), 513, response, length), ISOException);
}

TEST_F(RuntimeTest, PersistsOnRequestAndReportsLeaksWhenTheAppletGoes) {
  TraceCapture capture;
  bool persist = false, change = false;
  install([&](APDU&) {
    if (change) runtime.noteStateChange();
    if (persist) runtime.persist();
  });
  send({0});
  EXPECT_EQ(provider.saves, 0);  // transmit never persists by itself
  persist = true;
  send({0});
  EXPECT_EQ(provider.saves, 1);  // the applet's installation is not stored yet
  send({0});
  EXPECT_EQ(provider.saves, 1);  // nothing changed since: nothing to save
  change = true;
  send({0});
  EXPECT_EQ(provider.saves, 2);

  const int line = __LINE__ + 1;  // the leak is reported where its block was allocated
  runtime.allocatePersistent(16, JC_HERE("LeakyOwner::first"));
  runtime.setApplet(nullptr);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  EXPECT_EQ(capture.sink().count("LeakyOwner::first(" + std::to_string(line) + ") : Memory Leaked (persistent)"), 1u);
}

TEST_F(RuntimeTest, PersistentBlocksAreCountedAndFreedOnce) {
  TraceCapture capture;
  void* a = runtime.allocatePersistent(10, JC_HERE("Owner::a"));
  runtime.allocatePersistent(20, JC_HERE("Owner::b"));
  EXPECT_EQ(runtime.persistentBytes(), 30u);
  runtime.freePersistent(a, JC_HERE("Owner::a"));
  runtime.freePersistent(a, JC_HERE("Owner::a"));  // already gone: reported, nothing freed
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);
  EXPECT_EQ(capture.sink().count("not found"), 1u);
  EXPECT_EQ(runtime.allocatePersistent(~std::uint64_t{0}, JC_HERE("Owner::huge")), nullptr);
}

// Commands are held to the capacity, and what they add to the stored state
// (CapacityScope) may not use the 64 KiB working reserve. Loading is not held to it.
TEST_F(RuntimeTest, CommandsAreHeldToTheCapacityAndGrowthLeavesTheReserve) {
  std::vector<void*> kept;
  std::uint64_t chargedAtTop = 0;
  auto takeAll = [&] {
    for (void* p; (p = runtime.allocatePersistent(8192, JC_HERE("Test::take"))) != nullptr; kept.push_back(p))
      chargedAtTop = runtime.chargedBytes() + limits::chargeOf(8192);
    ISOException::throwIt(0x6A84);
  };
  install([&](APDU& apdu) {  // P1 1: growth of the stored state, else working memory
    if (apdu.getBuffer()[2] != 1) takeAll();
    CapacityScope growth(runtime);
    takeAll();
  });
  const std::uint64_t base = runtime.chargedBytes();
  for (const std::uint64_t limit : {limits::kCardCapacity, limits::kCardCapacity + 65536}) {
    EXPECT_EQ(send({0x00, 0x01, static_cast<std::uint8_t>(limit == limits::kCardCapacity ? 1 : 2), 0x00}),
              (Bytes{0x6A, 0x84}));
    EXPECT_GT(chargedAtTop, limit);  // the next block would not fit
    EXPECT_LE(chargedAtTop - limits::chargeOf(8192), limit);
  }
  for (void* p : kept) runtime.freePersistent(p, JC_HERE("Test::take"));
  EXPECT_EQ(runtime.chargedBytes(), base);
  for (std::uint64_t taken = 0; taken < limits::kCardCapacity + 65536; taken += 65536)
    ASSERT_NE(runtime.allocatePersistent(65536, JC_HERE("Test::load")), nullptr);  // outside a command
}

TEST(CardMemory, TransientArraysAreClearedOnReset) {
  JCRuntimeImpl runtime;
  auto bytes = runtime.makeTransientByteArray(16, CLEAR_ON_RESET);
  auto objects = runtime.makeTransientObjectArray(2, CLEAR_ON_RESET);
  EXPECT_EQ(runtime.transientBlockCount(), 2u);
  bytes[15] = 0x42;
  int marker = 0;
  objects[1] = &marker;
  runtime.clearResetTransients();  // every runtime block clears on reset
  EXPECT_EQ(bytes[15], 0);
  EXPECT_EQ(objects[1], nullptr);
  bytes = JCArray<std::uint8_t>();  // an array assigned over frees its block
  EXPECT_EQ(runtime.transientBlockCount(), 1u);
}

TEST(JCArrayTest, IndexesAndRangesAreChecked) {
  JCRuntimeImpl runtime;
  ByteArray a(8, runtime.persistentMemory(), JC_HERE("Test::a"));
  ByteArray b(4, runtime.persistentMemory(), JC_HERE("Test::b"));
  EXPECT_THROW(a[8] = 1, SystemException);
  a.zero(100, 0);  // count 0: nothing, wherever the offset lies
  EXPECT_THROW(a.zero(7, 2), SystemException);

  Util::setShort(a, 0, 0x1234);
  Util::setShort(a, 2, 0x5678);
  EXPECT_EQ(Util::getShort(a, 1), 0x3456);
  Util::arrayCopy(a, 0, b, 0, 4);
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), 0);
  b[3] = 0x79;
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), -1);
  EXPECT_THROW(Util::arrayCopy(a, 4, b, 1, 4), SystemException);  // destination too short
  EXPECT_THROW(Util::arrayCopy(a, 6, b, 0, 4), SystemException);  // source too short
  EXPECT_EQ(b[1], 0x34);                                          // nothing moved
  EXPECT_THROW(Util::getShort(a, 7), SystemException);
}

}  // namespace
}  // namespace quillon::test

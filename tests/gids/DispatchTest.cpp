// Class byte checks, the instruction table, card capabilities, the personalisation
// script, and persistence after every command.
#include "gids/GidsPINManager.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

class DispatchTest : public CardFixture {};

TEST_F(DispatchTest, ClassBytesInstructionsAndCardCapabilities) {
  EXPECT_EQ(sw("0CA4000C023FFF"), 0x6882);
  EXPECT_EQ(sw("08A4000C023FFF"), 0x6882);
  EXPECT_EQ(sw("20A4000C023FFF"), 0x6E00);
  EXPECT_EQ(sw("10A4000C023FFF"), 0x6884);  // chaining is for 2A, 47 and DB only
  EXPECT_EQ(sw("01A4000C023FFF"), 0x9000);  // a logical channel number is not examined
  TraceCapture capture(trace::kInformation);
  EXPECT_EQ(sw("0300000000"), 0x6D00);
  EXPECT_EQ(capture.sink().count("SW_INS_NOT_SUPPORTED 3"), 1u);
  EXPECT_EQ(sw("002A000000"), 0x6A86);
  // PUT DATA 3F FF is the key import (refused here: no key template); 3F FE and 3F 00 go to the files.
  EXPECT_EQ(sw("00DB3FFF03DF2000"), 0x6984);
  EXPECT_EQ(sw("00DB3FFE03DF2000"), 0x6A82);
  EXPECT_EQ(sw("00DB3F0003DF2000"), 0x6A82);
  // Card capabilities.
  const Response r = send("00CB2F01025C00");
  EXPECT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, "4301F44703080180460C4272696E646C65776F727468");
  EXPECT_EQ(sw("00CB2F01025C01"), 0x6984);
}

// Records, at every save, how many PIN tries the card had left.
class TriesRecorder final : public IJCRuntimeSerializable {
 public:
  std::uint32_t save(IJCRuntime& runtime) override {
    saved.push_back(static_cast<GidsApplet*>(runtime.getApplet())->pins().pin->triesRemaining_);
    return 0;
  }
  std::vector<int> saved;
};

TEST(DispatchPersistence, EveryCommandIsPersistedBeforeItsAnswerLeaves) {
  TriesRecorder recorder;
  JCRuntimeImpl runtime(&recorder);
  GidsApplet::install(runtime);
  personaliseCard(runtime);
  recorder.saved.clear();
  // A wrong PIN reaches the stored card with its count already lowered.
  EXPECT_EQ(transmitHex(runtime, "002000800439393939").sw, 0x63C2);
  EXPECT_EQ(recorder.saved, std::vector<int>{2});
  // A refused command that changed nothing reaches no provider.
  EXPECT_EQ(transmitHex(runtime, "00CBA014045C02DF20").sw, 0x6982);
  EXPECT_EQ(recorder.saved.size(), 1u);
  // A refused command that counts a wrong PIN is saved with its count.
  EXPECT_EQ(transmitHex(runtime, "002000800439393939").sw, 0x63C1);
  EXPECT_EQ(recorder.saved, (std::vector<int>{2, 1}));
}

}  // namespace
}  // namespace quillon::test

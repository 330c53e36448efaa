// The card's command set as APDU sessions (tests/data/gids/*.apdu), each on a
// fresh card, and the rule that a command's changes are saved before its answer.
#include <cstring>

#include "gids/GidsPINManager.h"
#include "support/ApduSession.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

class GidsSessions : public ::testing::TestWithParam<const char*> {};

TEST_P(GidsSessions, AnswerAsRecorded) { runApduSessions(std::string("gids/") + GetParam()); }

INSTANTIATE_TEST_SUITE_P(Files, GidsSessions,
                         ::testing::Values("dispatch.apdu", "files.apdu", "pin.apdu", "dataobjects.apdu", "keys.apdu",
                                           "admin.apdu"),
                         [](const auto& file) {
                           return std::string(file.param).substr(0, std::strlen(file.param) - 5);
                         });

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

class PinValueTest : public CardFixture {};

TEST_F(PinValueTest, AShorterPinLeavesNoDigitOfTheLongerOne) {
  personalise();
  ASSERT_EQ(sw("002400800C313233343536373839303132"), 0x9000);  // 1234 to 56789012
  ASSERT_EQ(sw("002401800431313131"), 0x9000);                  // then 1111
  const std::uint8_t* value = applet->pins().pin->value;
  EXPECT_EQ(toHex(Bytes(value, value + 8)), "3131313100000000");
}

}  // namespace
}  // namespace quillon::test

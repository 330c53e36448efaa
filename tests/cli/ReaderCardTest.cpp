// The reader's card over a recording PC/SC fake (no daemon): an operation runs in
// one transaction that always ends with the card reset, and the handles are given
// back; a missing service, reader or card is kNoCard, other failures kFailed; the
// reader's status names the volume it serves. (Insert and eject through a real
// pcscd: tests/e2e.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/Status.h"
#include "cardops/ReaderCard.h"
#include "platform/VolumePath.h"

namespace quillon::cardops {
namespace {

using Calls = std::vector<std::string>;

constexpr pcsc::Context kContext = 0x5C0;
constexpr pcsc::Handle kCard = 0xCA4D;
constexpr pcsc::Dword kGetVolume = 0x00312000, kSwallow = 0x0031001C, kEject = 0x00310018;

struct FakePcsc {
  std::string readers = std::string("Other Reader 00 00") + '\0' + "Brindleworth Virtual Reader 00 00" + '\0' + '\0';
  std::map<std::string, pcsc::Long> fail;
  pcsc::Dword state = pcsc::kStatePresent;
  std::vector<std::uint8_t> volume;  // GET VOLUME's answer
  Calls calls;
  bool wrong = false;  // a call with a handle or argument that is not what it should be

  pcsc::Long call(const std::string& name, bool bad = false) {
    calls.push_back(name);
    wrong |= bad;
    const auto it = fail.find(name);
    return it == fail.end() ? 0 : it->second;
  }
};

FakePcsc* g_fake = nullptr;

const PcscApi kFakeApi{
    [](pcsc::Dword, const void*, const void*, pcsc::Context* context) {
      *context = kContext;
      return g_fake->call("establish");
    },
    [](pcsc::Context context, const char*, char* readers, pcsc::Dword* length) {
      const pcsc::Long rc = g_fake->call("list", context != kContext);
      if (rc != 0) return rc;
      char* copy = static_cast<char*>(std::malloc(g_fake->readers.size()));
      std::memcpy(copy, g_fake->readers.data(), g_fake->readers.size());
      *reinterpret_cast<char**>(readers) = copy;
      *length = static_cast<pcsc::Dword>(g_fake->readers.size());
      return pcsc::Long{0};
    },
    [](pcsc::Context, const char* reader, pcsc::Dword share, pcsc::Dword protocols, pcsc::Handle* card,
       pcsc::Dword* active) {
      *card = kCard;
      *active = protocols;
      const bool shared = share == pcsc::kShareShared;
      return g_fake->call(shared ? "connect-shared" : "connect-direct",
                          std::strcmp(reader, "Brindleworth Virtual Reader 00 00") != 0 ||
                              (shared ? protocols != pcsc::kProtocolT1 : share != pcsc::kShareDirect));
    },
    [](pcsc::Handle card, pcsc::Dword code, const void*, pcsc::Dword, void* output, pcsc::Dword outputLength,
       pcsc::Dword* returned) {
      if (code == kGetVolume) {
        const pcsc::Long rc = g_fake->call("get-volume", card != kCard || output == nullptr);
        if (rc == 0 && outputLength >= g_fake->volume.size()) {
          if (!g_fake->volume.empty()) std::memcpy(output, g_fake->volume.data(), g_fake->volume.size());
          *returned = static_cast<pcsc::Dword>(g_fake->volume.size());
        }
        return rc;
      }
      return g_fake->call(code == kSwallow ? "swallow" : code == kEject ? "eject" : "control?", card != kCard);
    },
    [](pcsc::Handle card, pcsc::Dword disposition) {
      return g_fake->call("disconnect", card != kCard || disposition != pcsc::kLeaveCard);
    },
    [](pcsc::Context, const void* memory) {
      std::free(const_cast<void*>(memory));
      return g_fake->call("free");
    },
    [](pcsc::Context context) { return g_fake->call("release", context != kContext); },
    [](pcsc::Handle card) { return g_fake->call("begin", card != kCard); },
    [](pcsc::Handle card, pcsc::Dword disposition) {
      return g_fake->call(disposition == pcsc::kResetCard ? "end-reset" : "end-other", card != kCard);
    },
    [](pcsc::Handle card, pcsc::Dword protocol, const unsigned char*, pcsc::Dword, unsigned char* response,
       pcsc::Dword* responseLength) {
      const pcsc::Long rc = g_fake->call("transmit", card != kCard || protocol != pcsc::kProtocolT1);
      const std::uint8_t answer[] = {0xCA, 0xFE, 0x90, 0x00};
      if (rc == 0) {
        std::memcpy(response, answer, sizeof answer);
        *responseLength = sizeof answer;
      }
      return rc;
    },
    [](pcsc::Context context, pcsc::Dword timeout, const char*, pcsc::Dword, pcsc::Dword* eventState) {
      *eventState = g_fake->state;
      return g_fake->call("state", context != kContext || timeout != 0);
    },
};

class ReaderCardTest : public ::testing::Test {
 protected:
  void SetUp() override { g_fake = &fake; }
  void TearDown() override {
    EXPECT_FALSE(fake.wrong);
    g_fake = nullptr;
  }
  FakePcsc fake;
};

// A work that sends one command and answers `outcome`.
Result sendOne(CardChannel& card, Outcome outcome, Answer& answer) {
  const std::uint8_t select[] = {0x00, 0xA4, 0x04, 0x00};
  if (card.transmit(select, answer) != 0) return {Outcome::kFailed, "transmit"};
  return {outcome, ""};
}

TEST_F(ReaderCardTest, EveryOperationRunsInOneTransactionThatEndsWithAReset) {
  const Calls kOperation{"establish", "list", "connect-shared", "begin",  "transmit",
                         "end-reset", "free", "disconnect",     "release"};
  for (const Outcome outcome : {Outcome::kDone, Outcome::kWrongSecret}) {
    fake.calls.clear();
    Answer answer;
    const Result r = withReaderCard([&](CardChannel& card) { return sendOne(card, outcome, answer); }, kFakeApi);
    EXPECT_EQ(r.outcome, outcome);
    EXPECT_EQ(fake.calls, kOperation);
    EXPECT_EQ(answer.sw, 0x9000);
    EXPECT_EQ(std::vector<std::uint8_t>(answer.data.begin(), answer.data.end()),
              (std::vector<std::uint8_t>{0xCA, 0xFE}));
  }
  // A work that throws still leaves the card reset and every handle given back.
  fake.calls.clear();
  EXPECT_THROW(withReaderCard([](CardChannel&) -> Result { throw std::bad_alloc(); }, kFakeApi), std::bad_alloc);
  EXPECT_EQ(fake.calls,
            (Calls{"establish", "list", "connect-shared", "begin", "free", "end-reset", "disconnect", "release"}));
}

TEST_F(ReaderCardTest, NoServiceReaderOrCardIsNoCardAndOtherFailuresAreFailures) {
  struct Case {
    std::string failing;
    pcsc::Long status;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"establish", static_cast<pcsc::Long>(status::SCARD_E_NO_SERVICE), Outcome::kNoCard},
      {"list", static_cast<pcsc::Long>(status::SCARD_E_NO_READERS_AVAILABLE), Outcome::kNoCard},
      {"connect-shared", static_cast<pcsc::Long>(status::SCARD_E_NO_SMARTCARD), Outcome::kNoCard},
      {"connect-shared", static_cast<pcsc::Long>(status::SCARD_E_SHARING_VIOLATION), Outcome::kFailed},
      {"begin", static_cast<pcsc::Long>(status::SCARD_W_REMOVED_CARD), Outcome::kNoCard},
      {"end-reset", static_cast<pcsc::Long>(status::SCARD_W_REMOVED_CARD), Outcome::kFailed},
  };
  for (const Case& c : cases) {
    fake = {};
    fake.fail[c.failing] = c.status;
    bool worked = false;
    const Result r = withReaderCard(
        [&](CardChannel&) {
          worked = true;
          return Result{};
        },
        kFakeApi);
    EXPECT_EQ(r.outcome, c.outcome) << c.failing;
    EXPECT_FALSE(r.message.empty()) << c.failing;
    EXPECT_EQ(worked, c.failing == "end-reset") << c.failing;
  }
  fake = {};
  fake.readers = std::string("Other Reader 00 00") + '\0' + '\0';
  EXPECT_EQ(withReaderCard([](CardChannel&) { return Result{}; }, kFakeApi).outcome, Outcome::kNoCard);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "free", "release"}));
}

TEST_F(ReaderCardTest, StatusNamesTheServedVolume) {
  const std::string served = "\\\\?\\usbstor#disk&ven_acme#4c53&0#{53f56307}";
  fake.volume = platform::encodeDevicePath(served);
  ReaderStatus status = readReaderStatus(kFakeApi);
  EXPECT_TRUE(status.readerFound && status.cardPresent);
  EXPECT_EQ(status.readerName, "Brindleworth Virtual Reader 00 00");
  EXPECT_EQ(status.volume, served);
  EXPECT_EQ(status.error, 0u);

  fake = {};
  fake.state = 0x10;  // empty
  status = readReaderStatus(kFakeApi);
  EXPECT_TRUE(status.readerFound && !status.cardPresent && status.volume.empty());
  fake = {};
  fake.volume = {'x', 0};  // odd: no UTF-16 path
  EXPECT_NE(readReaderStatus(kFakeApi).error, 0u);
  fake = {};
  fake.fail["list"] = static_cast<pcsc::Long>(status::SCARD_E_NO_READERS_AVAILABLE);
  status = readReaderStatus(kFakeApi);
  EXPECT_TRUE(!status.readerFound && status.error == 0);
  fake = {};
  fake.fail["establish"] = static_cast<pcsc::Long>(status::SCARD_E_NO_SERVICE);
  EXPECT_EQ(readReaderStatus(kFakeApi).error, status::SCARD_E_NO_SERVICE);
}

}  // namespace
}  // namespace quillon::cardops

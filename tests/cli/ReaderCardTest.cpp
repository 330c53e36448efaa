// The reader's card over a PC/SC fake (no daemon): a missing service, reader or
// card is kNoCard, any other failure kFailed, and the card is reset at the end.
// (The whole exchange through a real pcscd: tests/e2e.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "base/Status.h"
#include "cardops/ReaderCard.h"

namespace quillon::cardops {
namespace {

std::map<std::string, pcsc::Long> g_fail;  // the calls that fail, and how
std::string g_readers;
int g_open = 0;  // contexts and card handles not given back

pcsc::Long answer(const char* call) { return g_fail.contains(call) ? g_fail[call] : 0; }

const PcscApi kFakeApi{
    [](pcsc::Dword, const void*, const void*, pcsc::Context* context) {
      *context = 1;
      return answer("establish") == 0 ? (++g_open, 0) : answer("establish");
    },
    [](pcsc::Context, const char*, char* readers, pcsc::Dword* length) {
      if (answer("list") != 0) return answer("list");
      *reinterpret_cast<char**>(readers) = static_cast<char*>(std::memcpy(
          std::malloc(g_readers.size()), g_readers.data(), g_readers.size()));  // NOLINT: freed by freeMemory
      *length = static_cast<pcsc::Dword>(g_readers.size());
      return pcsc::Long{0};
    },
    [](pcsc::Context, const char*, pcsc::Dword, pcsc::Dword protocols, pcsc::Handle* card, pcsc::Dword* active) {
      *card = 2;
      *active = protocols;
      return answer("connect") == 0 ? (++g_open, 0) : answer("connect");
    },
    [](pcsc::Handle, pcsc::Dword, const void*, pcsc::Dword, void*, pcsc::Dword, pcsc::Dword*) { return 0L; },
    [](pcsc::Handle, pcsc::Dword) { return --g_open, 0L; },
    [](pcsc::Context, const void* memory) { return std::free(const_cast<void*>(memory)), 0L; },
    [](pcsc::Context) { return --g_open, 0L; },
    [](pcsc::Handle) { return answer("begin"); },
    [](pcsc::Handle, pcsc::Dword disposition) {
      return disposition == pcsc::kResetCard ? answer("end") : static_cast<pcsc::Long>(status::SCARD_E_INVALID_HANDLE);
    },
    [](pcsc::Handle, pcsc::Dword, const unsigned char*, pcsc::Dword, unsigned char*, pcsc::Dword*) { return 0L; },
    [](pcsc::Context, pcsc::Dword, const char*, pcsc::Dword, pcsc::Dword*) { return 0L; },
};

TEST(ReaderCardTest, PcscFailuresMapToNoCardOrFailed) {
  const std::string ours = std::string("Other Reader 00 00") + '\0' + "Brindleworth Virtual Reader 00 00" + '\0' + '\0';
  const struct {
    const char* failing;
    std::uint32_t status;
    Outcome outcome;
    bool worked;
  } cases[] = {
      {"", 0, Outcome::kDone, true},
      {"establish", status::SCARD_E_NO_SERVICE, Outcome::kNoCard, false},
      {"list", status::SCARD_E_NO_READERS_AVAILABLE, Outcome::kNoCard, false},
      {"ours", 0, Outcome::kNoCard, false},  // other readers only
      {"connect", status::SCARD_E_NO_SMARTCARD, Outcome::kNoCard, false},
      {"connect", status::SCARD_E_SHARING_VIOLATION, Outcome::kFailed, false},
      {"begin", status::SCARD_W_REMOVED_CARD, Outcome::kNoCard, false},
      {"end", status::SCARD_W_REMOVED_CARD, Outcome::kFailed, true},
  };
  for (const auto& c : cases) {
    g_fail = {{c.failing, static_cast<pcsc::Long>(c.status)}};
    g_readers = c.failing == std::string("ours") ? ours.substr(0, 19) + '\0' : ours;
    bool worked = false;
    const Result r = withReaderCard([&](CardChannel&) { return worked = true, Result{}; }, kFakeApi);
    EXPECT_EQ(r.outcome, c.outcome) << c.failing;
    EXPECT_EQ(r.message.empty(), c.outcome == Outcome::kDone) << c.failing;
    EXPECT_EQ(worked, c.worked) << c.failing;
    EXPECT_EQ(g_open, 0) << c.failing;
  }
}

}  // namespace
}  // namespace quillon::cardops

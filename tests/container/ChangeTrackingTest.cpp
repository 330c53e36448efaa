// The runtime saves only a card whose state changed: every command that changes
// the state document must note the change (else the change never reaches the
// container), and one that changes nothing must not cost a save. Each case of
// container/change-tracking.vec runs on the same stored card, loaded afresh, and
// compares the documents before and after its command with what the persistence
// provider was handed.
#include <sstream>
#include <string>

#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/IArchive.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr const char* kVerifyPin = "002000800431323334";
constexpr const char* kCreateB082 =
    "00E000002B 6229 820118 8302B082 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 B603800157";

struct CountingProvider final : IJCRuntimeSerializable {
  int saves = 0;
  std::uint32_t save(IJCRuntime&) override { return ++saves, 0; }
};

// The stored card every row starts from: personalised, the application active,
// key file B081 with a generated 1024-bit key and an empty key file B082.
const std::string& storedCard() {
  static const std::string xml = [] {
    JCRuntimeImpl runtime;
    GidsApplet::install(runtime);
    personaliseCard(runtime);
    for (const char* command : {kVerifyPin, kCreateKeyFile, "0044000000", kCreateB082, "0044000000"})
      EXPECT_EQ(transmitHex(runtime, command).sw, 0x9000) << command;
    EXPECT_EQ(transmitHex(runtime, "00A4000C023FFF").sw, 0x9000);
    EXPECT_EQ(readAll(runtime, transmitHex(runtime, "0047000008AC06800106830181")).sw, 0x9000);
    const auto document = FilePersist::snapshotHeap(runtime);
    return document ? std::string(document->begin(), document->end()) : std::string();
  }();
  return xml;
}

class Card {
 public:
  Card() : runtime_(&provider) {
    const std::string& xml = storedCard();
    EXPECT_EQ(
        FilePersist::restoreHeap({reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()}, runtime_, installer_),
        0u);
    runtime_.noteStateStored();  // as FilePersist::loadInto leaves it
  }
  std::string sw(const std::string& hex) {
    const std::uint16_t sw = readAll(runtime_, transmitHex(runtime_, hex)).sw;
    return toHex({static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)});
  }
  std::string document() {
    const auto d = FilePersist::snapshotHeap(runtime_);
    return d ? std::string(d->begin(), d->end()) : std::string();
  }
  // A command of the case list: hex, or "@admin".
  std::string run(const std::string& command) {
    if (command != "@admin") return sw(command);
    // External authentication with the administrator key.
    EXPECT_EQ(sw("002281A403830180"), "9000");
    const Response challenge = transmitHex(runtime_, "00870000047C02810000");
    return sw("008700000C7C0A8208" + toHex(tdesCbc(fromHex(kAdminKey), fromHex(challenge.data.substr(8)), true)));
  }

  CountingProvider provider;

 private:
  GidsAppletInstaller installer_;
  JCRuntimeImpl runtime_;
};

TEST(ChangeTracking, EveryCommandThatChangesTheCardIsSavedAndNoOtherIs) {
  ASSERT_FALSE(storedCard().empty());
  const auto cases = readVecFile("container/change-tracking.vec");
  ASSERT_EQ(cases.size(), 27u);
  for (const VecRecord& c : cases) {
    SCOPED_TRACE(c.at("Name"));
    Card card;
    std::stringstream prepare(c.count("Prepare") != 0 ? c.at("Prepare") : "");
    for (std::string step; std::getline(prepare >> std::ws, step, ';');) {
      const std::size_t slash = step.find('/');
      EXPECT_EQ(card.run(step.substr(0, slash)), slash == std::string::npos ? "9000" : step.substr(slash + 1)) << step;
    }
    const std::string before = card.document();
    const int savesBefore = card.provider.saves;
    EXPECT_EQ(card.run(c.at("Command")), c.at("SW"));
    const bool changed = card.document() != before;
    const bool saved = card.provider.saves > savesBefore;
    EXPECT_EQ(changed, c.at("Changes") == "1") << "the case's expectation is wrong";
    // A change must be saved before its answer leaves; nothing else may cost a save.
    EXPECT_EQ(saved, c.at("Saves") == "1") << (changed ? "a change that would never reach the container" : "");
  }
}

// The dev build's check: a command that changes the card without noting it
// stops the program instead of losing the change.
struct UnnotedChange final : IApplet {
  explicit UnnotedChange(IJCRuntime& r) : runtime(r) {}
  void process(APDU& apdu) override {
    if (apdu.getBuffer()[1] == 0x01) runtime.noteStateChange();
    ++value;
    runtime.persist();
  }
  void serialize(IArchive& archive) override { archive.io("value", value); }
  IJCRuntime& runtime;
  std::uint32_t value = 0;
};

TEST(ChangeTrackingDeathTest, AnUnnotedChangeStopsTheDevBuild) {
  if (!JCRuntimeImpl::kChecksChangeNotes) GTEST_SKIP() << "built without QUILLON_STATE_CHECK";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto run = [](std::uint8_t ins) {
    CountingProvider provider;
    JCRuntimeImpl runtime(&provider);
    runtime.setApplet(::new (runtime.allocatePersistent(sizeof(UnnotedChange), JC_HERE("test")))
                          UnnotedChange(runtime));
    const std::uint8_t command[] = {0x00, ins, 0x00, 0x00};
    std::uint8_t response[2];
    std::uint32_t length = sizeof response;
    runtime.transmit(command, sizeof command, response, length);
    return provider.saves;
  };
  EXPECT_EQ(run(0x01), 1);  // noted: saved, no complaint
  EXPECT_DEATH(run(0x02), "INS 02 changed the card's stored state without noting it");
}

}  // namespace
}  // namespace quillon::test

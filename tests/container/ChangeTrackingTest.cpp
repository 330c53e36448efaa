// The runtime saves only a card whose state changed: every command that changes
// the state document must note the change (else the change never reaches the
// container), and one that changes nothing must not cost a save. Each row runs
// on the same stored card, loaded afresh, and compares the state documents
// before and after its command with what the persistence provider was handed.
#include <functional>
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
constexpr const char* kWrongPin = "002000800439393939";
constexpr const char* kMseSign = "002241B606800157840181";
constexpr const char* kCreateB082 =
    "00E000002B 6229 820118 8302B082 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 B603800157";

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes tlv(std::uint8_t tag, const Bytes& value) {
  const auto n = static_cast<std::uint8_t>(value.size());
  return concat(value.size() < 0x80 ? Bytes{tag, n} : Bytes{tag, 0x82, static_cast<std::uint8_t>(value.size() >> 8), n},
                value);
}

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
  std::uint16_t sw(const std::string& hex) { return readAll(runtime_, transmitHex(runtime_, hex)).sw; }
  std::string document() {
    const auto d = FilePersist::snapshotHeap(runtime_);
    return d ? std::string(d->begin(), d->end()) : std::string();
  }
  // Sends a chain of 255-byte pieces; the last piece's status word.
  std::uint16_t chained(const std::string& header, const Bytes& data) {
    std::uint16_t last = 0;
    for (std::size_t at = 0; at < data.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - at);
      const bool end = at + n == data.size();
      last = sw((end ? "00" : "10") + header.substr(2) + toHex({static_cast<std::uint8_t>(n)}) +
                toHex(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                            data.begin() + static_cast<std::ptrdiff_t>(at + n))));
      if (!end && last != 0x9000) return last;
    }
    return last;
  }
  // External authentication with the administrator key.
  void authenticateAdministrator() {
    EXPECT_EQ(sw("002281A403830180"), 0x9000);
    const Response challenge = transmitHex(runtime_, "00870000047C02810000");
    const Bytes cryptogram = tdesCbc(fromHex(kAdminKey), fromHex(challenge.data.substr(8)), true);
    EXPECT_EQ(sw("008700000C7C0A8208" + toHex(cryptogram)), 0x9000);
  }

  CountingProvider provider;

 private:
  GidsAppletInstaller installer_;
  JCRuntimeImpl runtime_;
};

struct Row {
  const char* name;
  std::function<void(Card&)> prepare;  // session state the command needs (not measured)
  std::function<std::uint16_t(Card&)> command;
  std::uint16_t sw;
  bool changes;  // the state document differs afterwards
  bool saves;    // the provider is handed the card (a noted change)
};

std::function<std::uint16_t(Card&)> send(std::string hex) {
  return [hex](Card& card) { return card.sw(hex); };
}
std::function<void(Card&)> sendFirst(std::vector<std::string> hex) {
  return [hex](Card& card) {
    for (const auto& h : hex) EXPECT_EQ(card.sw(h), 0x9000) << h;
  };
}
const std::function<void(Card&)> nothing = [](Card&) {};

std::uint16_t importKey(Card& card) {
  const ossl::PkeyPtr key = generateRsa(1024);
  const Bytes crt = tlv(0xA5, concat(fromHex("830102"), tlv(0x87, rsaPrivateKeyDer(key.get()))));
  return card.chained("00DB3FFF", tlv(0x70, concat(fromHex("840182"), crt)));
}

const Row kRows[] = {
    // PIN tries and values.
    {"wrong PIN", nothing, send(kWrongPin), 0x63C2, true, true},
    {"right PIN after a wrong one", [](Card& c) { EXPECT_EQ(c.sw(kWrongPin), 0x63C2); }, send(kVerifyPin), 0x9000, true,
     true},
    {"right PIN, tries full", nothing, send(kVerifyPin), 0x9000, false, false},
    {"PIN too short", nothing, send("00200080023132"), 0x63C3, false, false},
    {"change PIN", nothing, send("002400800831323334 35363738"), 0x9000, true, true},
    {"reset retry counter",
     [](Card& c) {
       EXPECT_EQ(c.sw(kWrongPin), 0x63C2);
       c.authenticateAdministrator();
     },
     send("002C0280043132333A"), 0x9000, true, true},
    {"PIN status", nothing, send("00CB3FFF045C027F71"), 0x9000, false, false},
    {"log out", sendFirst({kVerifyPin}), send("0020008200"), 0x9000, false, false},
    // PUT DATA.
    {"new data object", sendFirst({kVerifyPin}), send("00DBA01007DF240411111111"), 0x9000, true, true},
    {"data object rewritten in place", sendFirst({kVerifyPin}),
     send("00DBA01013DF2010FF0102030405060708090A0B0C0D0E0F"), 0x9000, true, true},
    // A write of the same bytes is still a write: noted, and the container's own
    // hash then finds nothing to write.
    {"data object rewritten alike", sendFirst({kVerifyPin}), send("00DBA01013DF2010000102030405060708090A0B0C0D0E0F"),
     0x9000, false, true},
    {"data object erased", sendFirst({kVerifyPin}), send("00DBA01003DF2300"), 0x9000, true, true},
    {"PUT DATA refused", nothing, send("00DBA01007DF240411111111"), 0x6982, false, false},
    {"GET DATA", nothing, send("00CBA010025C00"), 0x9000, false, false},
    // Keys.
    {"key import", sendFirst({kVerifyPin}), importKey, 0x9000, true, true},
    {"key generation", sendFirst({kVerifyPin}), send("0047000008AC06800106830181"), 0x9000, true, true},
    {"key generation refused", nothing, send("0047000008AC06800106830181"), 0x6982, false, false},
    {"public key read", sendFirst({kVerifyPin}), send(kReadPublicKey), 0x9000, false, false},
    // File life cycle.
    {"create file", sendFirst({kVerifyPin, "00A4000C023FFF"}),
     send("00E000002B6229820118 8302B083 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 B603800157"),
     0x9000, true, true},
    {"activate file",
     sendFirst({kVerifyPin, "00A4000C023FFF",
                "00E000002B6229820118 8302B083 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 "
                "B603800157"}),
     send("0044000000"), 0x9000, true, true},
    {"delete file", sendFirst({kVerifyPin, "00A4000C02B082"}), send("00E4000000"), 0x9000, true, true},
    {"terminate the application", sendFirst({kVerifyPin, "00A4000C023FFF"}), send("00E6000000"), 0x9000, true, true},
    {"select", nothing, send("00A4000C02A010"), 0x9000, false, false},
    // Security environment and its operations: session state, never stored.
    {"security environment", sendFirst({kVerifyPin}), send(kMseSign), 0x9000, false, false},
    {"signature", sendFirst({kVerifyPin, kMseSign}),
     send("002A9E9A33 3031300D060960864801650304020105000420 " + std::string(64, 'A') + " 00"), 0x9000, false, false},
    {"administrator authentication", nothing,
     [](Card& c) {
       c.authenticateAdministrator();
       return std::uint16_t{0x9000};
     },
     0x9000, false, false},
    {"unknown instruction", nothing, send("00FF000000"), 0x6D00, false, false},
};

TEST(ChangeTracking, EveryCommandThatChangesTheCardIsSavedAndNoOtherIs) {
  ASSERT_FALSE(storedCard().empty());
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Card card;
    row.prepare(card);
    const std::string before = card.document();
    const int savesBefore = card.provider.saves;
    EXPECT_EQ(row.command(card), row.sw);
    const bool changed = card.document() != before;
    const bool saved = card.provider.saves > savesBefore;
    EXPECT_EQ(changed, row.changes) << "the row's expectation is wrong";
    // A change must be saved before its answer leaves; nothing else may cost a save.
    EXPECT_TRUE(saved || !changed) << "a change that would never reach the container";
    EXPECT_EQ(saved, row.saves);
  }
}

// What the dev build adds: a command that changes the card without noting it
// stops the program instead of losing the change.
class UnnotedChange final : public IApplet {
 public:
  explicit UnnotedChange(IJCRuntime& runtime) : runtime_(runtime) {}
  void process(APDU& apdu) override {
    if (apdu.getBuffer()[1] == 0x01) runtime_.noteStateChange();
    ++value_;
    runtime_.persist();
  }
  void serialize(IArchive& archive) override { archive.io("value", value_); }

 private:
  IJCRuntime& runtime_;
  std::uint32_t value_ = 0;
};

TEST(ChangeTrackingDeathTest, AnUnnotedChangeStopsTheDevBuild) {
  if (!JCRuntimeImpl::kChecksChangeNotes) GTEST_SKIP() << "built without QUILLON_STATE_CHECK";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto run = [](std::uint8_t ins) {
    CountingProvider provider;
    JCRuntimeImpl runtime(&provider);
    auto* applet = ::new (runtime.allocatePersistent(sizeof(UnnotedChange), JC_HERE("test"))) UnnotedChange(runtime);
    runtime.setApplet(applet);
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

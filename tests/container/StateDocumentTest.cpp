// The card's state document: a card built through transmit comes back and writes
// the same document byte for byte, keeps working, and hostile documents
// (container/state-document.vec) are refused. A card filled to its last object
// refuses the next with 6A84, and the full card saves and opens with every object.
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "base/FileHandle.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/Exceptions.h"
#include "support/ApduSession.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

class StateDocumentTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    publicKeyAnswer = addGeneratedKey(runtime);
    document = snapshot(runtime);
    ASSERT_FALSE(document.empty());
  }
  static std::string snapshot(IJCRuntime& card) {
    const auto xml = FilePersist::snapshotHeap(card);
    return xml ? std::string(xml->begin(), xml->end()) : std::string();
  }
  std::uint32_t load(const std::string& xml, std::string* fault = nullptr) {
    return FilePersist::restoreHeap({reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()}, loaded, installer,
                                    fault);
  }
  Response onLoaded(const std::string& hex) { return readAll(loaded, transmitHex(loaded, hex)); }

  std::string publicKeyAnswer;
  std::string document;
  GidsAppletInstaller installer;
  JCRuntimeImpl loaded;
};

TEST_F(StateDocumentTest, ReloadedCardWritesTheSameDocumentAndWorks) {
  ASSERT_EQ(load(document), 0u);
  EXPECT_EQ(snapshot(loaded), document);
  EXPECT_EQ(onLoaded("00CBA010025C00").data,
            "DF21086D73637000000000DF2206000000000000DF2300DF2010000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(onLoaded("00CB3FFF045C027F71").data, "7F7106970103930103");
  // The PIN presented before the snapshot was not stored: the key file wants it again.
  EXPECT_EQ(onLoaded("002241B606800157840181").sw, 0x6982);
  ASSERT_EQ(onLoaded(std::string("0020008004") + kTestPin).sw, 0x9000);
  EXPECT_EQ(onLoaded(kReadPublicKey).data, publicKeyAnswer);
}

TEST_F(StateDocumentTest, HostileValuesAreRefused) {
  EXPECT_EQ(FilePersist::restoreHeap({}, loaded, installer), 0x80070057u);
  EXPECT_FALSE(FilePersist::snapshotHeap(loaded).has_value());  // no applet
  const auto cases = readVecFile("container/state-document.vec");
  ASSERT_EQ(cases.size(), 12u);
  TraceCapture capture(trace::kError);
  for (const VecRecord& c : cases) {
    SCOPED_TRACE(c.at("To"));
    std::string hostile = document;
    ASSERT_NE(hostile.find(c.at("From")), std::string::npos);
    hostile.replace(hostile.find(c.at("From")), c.at("From").size(), c.at("To"));
    std::string fault;
    if (c.at("Throws") == "1") {
      EXPECT_THROW(load(hostile, &fault), SerializationException);
    } else {
      EXPECT_NE(load(hostile, &fault), 0u);
    }
    EXPECT_EQ(fault, c.at("Fault"));
  }
  EXPECT_EQ(capture.sink().count("ioFile: unknown FileTag 4"), 1u);
  // Nothing of that damaged the runtime for a good document.
  ASSERT_EQ(load(document), 0u);
  EXPECT_EQ(onLoaded("00CBA012045C02DF20").data, std::string("DF2010") + kSerial);
}

std::string hex16(std::size_t v) { return toHex({static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}); }

// DF<tag> and the BER length of `n` bytes.
std::string objectHeader(std::size_t tag, std::size_t n) {
  return "DF" + hex16(tag).substr(2) +
         (n < 0x80    ? ""
          : n < 0x100 ? "81"
                      : "82" + hex16(n).substr(0, 2)) +
         hex16(n).substr(2);
}

// PUT DATA of DF<tag> holding `value` into file `file`, chained; a chain cut short is ended.
std::uint16_t putObject(IJCRuntime& card, std::size_t file, std::size_t tag, const Bytes& value) {
  Bytes data = fromHex(objectHeader(tag, value.size()));
  data.insert(data.end(), value.begin(), value.end());
  const std::uint16_t sw = sendChained(card, "00DB" + hex16(file), data, "").sw;
  if (sw != 0x9000) transmitHex(card, "00DB" + hex16(file) + "00");
  return sw;
}

using CapacityTest = CardFixture;

TEST_F(CapacityTest, AFullCardRefusesTheNextObjectAndOpensAgainWithEveryObject) {
  personalise();
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  for (std::size_t file = 0xA100; file < 0xA104; ++file) {
    ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
    ASSERT_EQ(sw("00E000000E620C8201398302" + hex16(file) + "8C03033000"), 0x9000);
    ASSERT_EQ(sw("0044000000"), 0x9000);
  }
  std::mt19937 random(20261207);
  const auto randomBytes = [&](std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  };
  // The largest value whose object (DF xx 82 xx xx, then the value) the loader reads back is 49143 bytes.
  EXPECT_EQ(putObject(runtime, 0xA100, 1, randomBytes(49144)), 0x6A84);
  // Incompressible objects, the largest first, then smaller ones into what is left.
  std::vector<Bytes> stored;
  for (const std::size_t size : {49143u, 4096u, 512u, 64u, 1u}) {
    std::uint16_t status = 0x9000;
    while (status == 0x9000) {
      stored.push_back(randomBytes(size));
      status = putObject(runtime, 0xA100 + (stored.size() - 1) / 30, 1 + (stored.size() - 1) % 30, stored.back());
    }
    stored.pop_back();
    ASSERT_EQ(status, 0x6A84) << size;
  }
  ASSERT_GT(stored.size(), 30u);

  // Saved and loaded into a fresh runtime, the card holds every object and no other.
  TempDir drive;
  FilePersist writer({"Brindle", "Flash Disk", "1.00", "0401A5C3E7F2"}, drive.path().string());
  ASSERT_EQ(writer.save(runtime), 0u);
  JCRuntimeImpl reopened;
  GidsAppletInstaller installer;
  FileHandle fd(::open((drive.path() / FilePersist::kContainerName).c_str(), O_RDONLY | O_CLOEXEC));
  FilePersist reader({"Brindle", "Flash Disk", "1.00", "0401A5C3E7F2"}, drive.path().string());
  ASSERT_EQ(reader.loadInto(reopened, installer, fd.get()), 0u);
  ASSERT_EQ(transmitHex(reopened, "002000800431323334").sw, 0x9000);
  for (std::size_t i = 0; i <= stored.size(); ++i) {
    const std::size_t tag = 1 + i % 30;
    const Response answer =
        readAll(reopened, transmitHex(reopened, "00CB" + hex16(0xA100 + i / 30) + "045C02DF" + hex16(tag).substr(2)));
    ASSERT_EQ(answer.sw, i < stored.size() ? 0x9000 : 0x6A88) << i;
    const std::string expected = i < stored.size() ? objectHeader(tag, stored[i].size()) + toHex(stored[i]) : "";
    ASSERT_TRUE(answer.data == expected) << i;
  }
}

}  // namespace
}  // namespace quillon::test

// The card's state document: a card built through transmit comes back and writes
// the same document byte for byte, keeps working, and hostile documents
// (container/state-document.vec) are refused.
#include <string>

#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/Exceptions.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

// Replaces the first occurrence of `from`, which must be there.
std::string replaced(std::string document, const std::string& from, const std::string& to) {
  const std::size_t at = document.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) document.replace(at, from.size(), to);
  return document;
}

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
    const std::string hostile = replaced(document, c.at("From"), c.at("To"));
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

}  // namespace
}  // namespace quillon::test

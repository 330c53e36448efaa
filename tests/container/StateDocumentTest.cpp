// The card's state document through snapshotHeap and restoreHeap: a card built
// through transmit comes back and writes the same document byte for byte, keeps
// working, and hostile documents (container/state-document.vec) are refused.
#include <string>

#include "container/FilePersist.h"
#include "gids/BerTlvFile.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsFileSystem.h"
#include "jc/Exceptions.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

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
  EXPECT_EQ(onLoaded("00CBA012045C02DF20").data, std::string("DF2010") + kSerial);
  EXPECT_EQ(onLoaded("00CB3FFF045C027F71").data, "7F7106970103930103");
  // The PIN presented before the snapshot was not stored: the key file wants it again.
  EXPECT_EQ(onLoaded("002241B606800157840181").sw, 0x6982);
  ASSERT_EQ(onLoaded(std::string("0020008004") + kTestPin).sw, 0x9000);
  EXPECT_EQ(onLoaded(kReadPublicKey).data, publicKeyAnswer);
  ASSERT_EQ(onLoaded("002241B606800157840181").sw, 0x9000);
  const Bytes info = sha256DigestInfo("signed after reload");
  const Response signature = onLoaded("002A9E9A33" + toHex(info) + "00");
  ASSERT_EQ(signature.sw, 0x9000);
  const ossl::PkeyPtr publicKey = publicKeyFromAnswer(publicKeyAnswer);
  ASSERT_NE(publicKey, nullptr);
  EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", Bytes(info.begin() + 19, info.end()), fromHex(signature.data)));
  // The imported administrator key authenticates the terminal.
  ASSERT_EQ(onLoaded("002281A403830180").sw, 0x9000);
  const Response challenge = onLoaded("00870000047C02810000");
  ASSERT_EQ(challenge.sw, 0x9000);
  const Bytes cryptogram = tdesCbc(fromHex(kAdminKey), fromHex(challenge.data.substr(8)), true);
  EXPECT_EQ(onLoaded("008700000C7C0A8208" + toHex(cryptogram)).sw, 0x9000);
}

TEST_F(StateDocumentTest, NullFileCountsButAddsNothingAndLoadedFilesGetTheirCapacities) {
  // A NullFile and an empty DF among the root's children, and twelve records in A013.
  std::string records;
  for (int i = 0; i < 12; ++i)
    records += "<Record><data len=\"3\" rawData=\"" + std::string(1, static_cast<char>('A' + i)) + "AAA\"/></Record>";
  std::string edited = replaced(document, "state=\"7\" childCount=\"8\"", "state=\"7\" childCount=\"10\"");
  edited = replaced(edited, "<BerTlvFile type=\"1\" fileID=\"40976\"",
                    "<NullFile type=\"0\"/>\n<BerTlvFile type=\"1\" fileID=\"40976\"");
  edited = replaced(edited, "<fci len=",
                    "<DedicatedFile type=\"3\" fileID=\"20480\" state=\"7\" childCount=\"0\"><fcp len=\"0\"/>"
                    "</DedicatedFile>\n<fci len=");
  edited = replaced(
      edited,
      "fileID=\"40979\" state=\"7\" childCount=\"0\">\n        <fcp len=\"14\" rawData=\"YgyCATmDAqATjAMDMDA=\"/>",
      "fileID=\"40979\" state=\"7\" childCount=\"12\"><fcp len=\"14\" rawData=\"YgyCATmDAqATjAMDMDA=\"/>" + records);
  ASSERT_EQ(load(edited), 0u);
  GidsFileSystem& fs = static_cast<GidsApplet*>(loaded.getApplet())->files();
  ASSERT_EQ(fs.childCount, 9);
  auto* df = dynamic_cast<DedicatedFile*>(fs.children[8]);
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(df->fileID, 0x5000);
  EXPECT_EQ(df->childCount, 0);
  EXPECT_EQ(df->children.length(), 10);
  EXPECT_EQ(df->parent, &fs);
  auto& a013 = dynamic_cast<BerTlvFile&>(*fs.findFile(0xA013, FIND_EF));
  ASSERT_EQ(a013.childCount, 12);
  EXPECT_EQ(a013.children.length(), 12);
  for (std::uint8_t i = 0; i < 12; ++i) {
    ASSERT_EQ(a013.children[i]->data.length(), 3);
    EXPECT_EQ(a013.children[i]->data[0], static_cast<std::uint8_t>(i * 4)) << int{i};  // 'A'+i: 6 bits i
  }
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

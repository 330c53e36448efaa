// The card's state document through snapshotHeap and restoreHeap: a card built
// through transmit comes back object for object and keeps working, and hostile
// documents are refused without harm.
#include <string>
#include <tuple>
#include <typeinfo>

#include "base/Hex.h"
#include "container/FilePersist.h"
#include "crypto/CNGKeyPair.h"
#include "gids/BerTlvFile.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "jc/Exceptions.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

using Component = CNGRSAPrivateCrtKey::Component;

std::string text(const ossl::SecureBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::string hexOf(const ByteArray& a) { return hex::encode({a.data(), a.length()}); }

// Replaces the first occurrence of `from`, which must be there.
std::string replaced(std::string document, const std::string& from, const std::string& to) {
  const std::size_t at = document.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) document.replace(at, from.size(), to);
  return document;
}

void expectSameKeyPair(CNGKeyPair& a, CNGKeyPair& b) {
  ASSERT_NE(b.getPublic(), nullptr);
  ASSERT_NE(b.getPrivate(), nullptr);
  const auto fields = [](CNGKeyPair& k) {
    std::string components;
    for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
      components += hexOf(k.getPrivate()->component(c)) + ' ';
    return std::tuple(k.size(), hexOf(k.getPublic()->modulus()), hexOf(k.getPublic()->exponent()),
                      k.getPublic()->getSize(), components, k.getPrivate()->isInitialized(), k.getPrivate()->getSize());
  };
  EXPECT_EQ(fields(a), fields(b));
}

// Everything a file holds, recursively; `parent` is what the loaded file's parent must be.
void expectSameFile(File& a, File& b, DedicatedFile* parent) {
  SCOPED_TRACE("file " + std::to_string(a.fileID));
  ASSERT_EQ(typeid(a), typeid(b));
  const auto fields = [](File& f) { return std::tuple(f.fileID, f.state, hexOf(f.fcp), f.secAttrOffset); };
  EXPECT_EQ(fields(a), fields(b));
  EXPECT_EQ(b.parent, parent);
  if (auto* df = dynamic_cast<DedicatedFile*>(&a)) {
    auto& other = dynamic_cast<DedicatedFile&>(b);
    ASSERT_EQ(df->childCount, other.childCount);
    for (std::uint8_t i = 0; i < df->childCount; ++i) expectSameFile(*df->children[i], *other.children[i], &other);
  } else if (auto* data = dynamic_cast<BerTlvFile*>(&a)) {
    auto& other = dynamic_cast<BerTlvFile&>(b);
    ASSERT_EQ(data->childCount, other.childCount);
    for (std::uint8_t i = 0; i < data->childCount; ++i)
      EXPECT_EQ(hexOf(data->children[i]->data), hexOf(other.children[i]->data)) << "record " << int{i};
  } else if (auto* key = dynamic_cast<CRTKeyFile*>(&a)) {
    const auto keyFields = [](CRTKeyFile& k) {
      return std::tuple(k.posCRT, k.lenCRT, hexOf(k.symmetricKey), k.keyPair != nullptr);
    };
    auto& other = dynamic_cast<CRTKeyFile&>(b);
    ASSERT_EQ(keyFields(*key), keyFields(other));
    if (key->keyPair != nullptr)
      expectSameKeyPair(dynamic_cast<CNGKeyPair&>(*key->keyPair), dynamic_cast<CNGKeyPair&>(*other.keyPair));
  }
}

class StateDocumentTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    publicKeyAnswer = addGeneratedKey(runtime);
    ASSERT_FALSE(publicKeyAnswer.empty());
    auto xml = FilePersist::snapshotHeap(runtime);
    ASSERT_TRUE(xml.has_value());
    document = text(*xml);
  }
  GidsApplet& loadedApplet() { return *static_cast<GidsApplet*>(loaded.getApplet()); }
  std::uint32_t load(const std::string& xml) {
    return FilePersist::restoreHeap({reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()}, loaded, installer);
  }
  Response onLoaded(const std::string& hex) { return transmitHex(loaded, hex); }

  std::string publicKeyAnswer;
  std::string document;
  GidsAppletInstaller installer;
  JCRuntimeImpl loaded;
};

TEST_F(StateDocumentTest, ReloadedCardIsTheSameObjectForObjectAndSigns) {
  ASSERT_EQ(load(document), 0u);
  GidsApplet& copy = loadedApplet();
  GidsPINManager& pins = applet->pins();
  EXPECT_EQ(pins.isInInitializationMode(), copy.pins().isInInitializationMode());
  ASSERT_NE(copy.pins().pin, nullptr);
  const auto pinFields = [](GidsPIN& p) {
    return std::tuple(p.currentPINLen_, p.minPINSize_, p.maxPINSize_, p.GidsPIN::tryLimit_, p.OwnerPIN::tryLimit_,
                      p.maxSize_, p.triesRemaining_, p.pinLen_, p.initialized_, hex::encode(p.value));
  };
  EXPECT_EQ(pinFields(*pins.pin), pinFields(*copy.pins().pin));
  EXPECT_TRUE(pins.pin->isValidated());          // presented before the snapshot ...
  EXPECT_FALSE(copy.pins().pin->isValidated());  // ... and never stored

  GidsFileSystem& fs = applet->files();
  GidsFileSystem& other = copy.files();
  EXPECT_EQ(std::tuple(fs.currentRecordNum, hexOf(fs.fci), hexOf(fs.fmd)),
            std::tuple(other.currentRecordNum, hexOf(other.fci), hexOf(other.fmd)));
  expectSameFile(fs, other, nullptr);
  EXPECT_EQ(other.selection[0], static_cast<File*>(&other));
  EXPECT_EQ(other.selection[1], nullptr);
  EXPECT_EQ(other.pinManager, &copy.pins());
  auto* adminFile = other.findKeyCRT(0x80);
  ASSERT_NE(adminFile, nullptr);
  EXPECT_EQ(hexOf(adminFile->symmetricKey), kAdminKey);  // the imported one
  // Written again, the reloaded card gives the same document byte for byte.
  const auto again = FilePersist::snapshotHeap(loaded);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(text(*again), document);

  EXPECT_EQ(onLoaded("00CBA010025C00").data,
            "DF21086D73637000000000"
            "DF2206000000000000"
            "DF2300"
            "DF2010000102030405060708090A0B0C0D0E0F");
  EXPECT_EQ(onLoaded("00CBA012045C02DF20").data, std::string("DF2010") + kSerial);
  EXPECT_EQ(onLoaded("00CB3FFF045C027F71").data, "7F7106970103930103");
  // The presented PIN did not survive: the key file wants it again.
  EXPECT_EQ(onLoaded("002241B606800157840181").sw, 0x6982);
  ASSERT_EQ(onLoaded(std::string("0020008004") + kTestPin).sw, 0x9000);
  EXPECT_EQ(readAll(loaded, onLoaded(kReadPublicKey)).data, publicKeyAnswer);
  ASSERT_EQ(onLoaded("002241B606800157840181").sw, 0x9000);
  const Bytes info = sha256DigestInfo("signed after reload");
  const Response signature = readAll(loaded, onLoaded("002A9E9A33" + toHex(info) + "00"));
  ASSERT_EQ(signature.sw, 0x9000);
  const ossl::PkeyPtr publicKey = publicKeyFromAnswer(publicKeyAnswer);
  ASSERT_NE(publicKey, nullptr);
  EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", Bytes(info.begin() + 19, info.end()), fromHex(signature.data)));
  // The administrator key authenticates the terminal on the reloaded card.
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
  std::string edited = replaced(document, "fileID=\"16128\" state=\"7\" childCount=\"8\"",
                                "fileID=\"16128\" state=\"7\" childCount=\"10\"");
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
  GidsFileSystem& fs = loadedApplet().files();
  ASSERT_EQ(fs.childCount, 9);
  for (std::uint8_t i = 0; i < 8; ++i)  // A013 has its new records
    if (applet->files().children[i]->fileID != 0xA013)
      expectSameFile(*applet->files().children[i], *fs.children[i], &fs);
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
  struct Case {
    const char* what;
    std::string from;
    std::string to;
    bool throws;        // SerializationException; otherwise a failed archive
    std::string fault;  // what the refusal says
  };
  const std::string pin = "element GidsApplet/GidsPINManager/GidsPIN";
  const Case cases[] = {
      {"unknown file type", "<BerTlvFile type=\"1\"", "<BerTlvFile type=\"4\"", true,
       "element GidsApplet/GidsFileSystem/BerTlvFile: type holds 4, which is no kind of file (0 to 3)"},
      {"PIN length beyond its buffer", "pinLen=\"4\"", "pinLen=\"200\"", true,
       pin + "/OwnerPIN: pinLen holds 200, past its limit 32"},
      {"more tries than the limit", "triesRemaining=\"3\"", "triesRemaining=\"9\"", true,
       pin + "/OwnerPIN: triesRemaining holds 9, past its limit tryLimit 3"},
      {"minimum PIN size above the maximum", "minPINSize=\"4\"", "minPINSize=\"20\"", true,
       pin + ": minPINSize holds 20, past its limit maxPINSize 16"},
      {"root with 300 children", "childCount=\"8\"", "childCount=\"300\"", true,
       "element GidsApplet/GidsFileSystem: childCount holds 300, past its limit 255"},
      {"data-object file with 300 records", "fileID=\"40976\" state=\"7\" childCount=\"4\"",
       "fileID=\"40976\" state=\"7\" childCount=\"300\"", true,
       "element GidsApplet/GidsFileSystem/BerTlvFile: childCount holds 300, past its limit 255"},
      {"more children than elements", "childCount=\"8\"", "childCount=\"12\"", false,
       "element GidsApplet/GidsFileSystem/fci: attribute type is missing"},  // fci read as a ninth file
      {"array longer than its bytes", "<exponent len=\"3\"", "<exponent len=\"60000\"", false,
       "element GidsApplet/GidsFileSystem/CRTKeyFile/KeyPair/RSAPublicKey/exponent: a byte string of 60000 bytes is "
       "more than rawData can hold"},
      {"Base64 outside its alphabet", "rawData=\"MTIzNAAA", "rawData=\"MTIz*AAA", false,
       pin + "/OwnerPIN: rawData is not Base64 text"},
      {"attribute missing", "triesRemaining=\"3\" ", "", false, pin + "/OwnerPIN: attribute triesRemaining is missing"},
      {"not XML at all", "<GIDS>", "<GIDS", false, "the document is not well-formed XML"},
  };
  TraceCapture capture(trace::kError);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string hostile = replaced(document, c.from, c.to);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(hostile.data()), hostile.size());
    std::string fault;
    if (c.throws) {
      EXPECT_THROW(FilePersist::restoreHeap(bytes, loaded, installer, &fault), SerializationException);
    } else {
      EXPECT_NE(FilePersist::restoreHeap(bytes, loaded, installer, &fault), 0u);
    }
    EXPECT_EQ(fault, c.fault);
  }
  EXPECT_EQ(capture.sink().count("ioFile: unknown FileTag 4"), 1u);
  // Nothing of that damaged the runtime for a good document.
  ASSERT_EQ(load(document), 0u);
  EXPECT_EQ(onLoaded("00CBA012045C02DF20").data, std::string("DF2010") + kSerial);
}

}  // namespace
}  // namespace quillon::test

// Writes the seed corpora of the fuzz targets from cards that this program's own
// code builds: the personalisation script, the state documents of blank,
// personalised and keyed cards, command sessions as OpenSC runs them (PIN,
// key file, key import, signing, deciphering), and a compressed state document.
//   fuzz_seeds DIR   (DIR is fuzz/corpus; existing files of the same name are replaced)
// Keys are generated afresh (by the card, or by OpenSSL for the import), so the
// files differ from run to run; the committed ones are one such run. Every
// session is run once here and must get the answers it expects.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CommandStream.h"
#include "StoredCard.h"
#include "base/OpenSsl.h"
#include "container/CabinetCodec.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/ScriptExecutor.h"
#include "runtime/JCRuntimeImpl.h"

using namespace quillon;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint8_t kAdminKey[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                        13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";

constexpr const char* kSelectGids = "00A4040009A0000003974254465900";
constexpr const char* kVerify = "002000800431323334";
// Key file B081 as OpenSC creates one (2048-bit, sign and decipher), then ACTIVATE.
constexpr const char* kCreateKeyFile =
    "00E000002B 6229 820118 8302B081 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 B603800157";
constexpr const char* kActivate = "0044000000";
constexpr const char* kGenerate2048 = "0047000008AC06800107830181";
constexpr const char* kReadPublicKey = "00CB3FFF0A7008840181A5037F498000";
constexpr const char* kGetResponse = "00C0000000";
// The DigestInfo of SHA-256 over "abc", as a terminal sends it for the card to pad.
constexpr const char* kSignDigestInfo =
    "002A9E9A33 3031300D060960864801650304020105000420"
    "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD 00";

Bytes scan(const std::string& text) {
  const ossl::SecureBytes bytes = scanCommandText(text.c_str());
  return Bytes(bytes.begin(), bytes.end());
}

std::vector<std::string> personalisationTexts() {
  std::vector<std::string> texts;
  for (const ScriptCommand& c : personalisationScript("1234", kAdminKey, kSerial)) texts.emplace_back(c.c_str());
  return texts;
}

// A command stream (CommandStream.h) of hexadecimal command texts.
Bytes stream(const std::vector<std::string>& texts) {
  Bytes out;
  for (const std::string& t : texts) fuzz::appendCommand(out, scan(t));
  return out;
}

// Chained commands carrying `data` in pieces that fit the stream's 255-byte commands.
void appendChained(std::vector<std::string>& texts, const std::string& header, const Bytes& data,
                   const std::string& le) {
  constexpr std::size_t kPiece = 250;
  for (std::size_t at = 0; at < data.size(); at += kPiece) {
    const std::size_t n = std::min(kPiece, data.size() - at);
    const bool last = at + n == data.size();
    char head[16];
    std::snprintf(head, sizeof head, "%s%s%02zX", last ? "00" : "10", header.c_str() + 2, n);
    std::string text = head;
    for (std::size_t i = at; i < at + n; ++i) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", data[i]);
      text += digits;
    }
    texts.push_back(last ? text + le : text);
  }
}

Bytes tlv(std::uint8_t tag, const Bytes& value) {
  Bytes out{tag};
  if (value.size() >= 0x80) out.push_back(0x82), out.push_back(static_cast<std::uint8_t>(value.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The PUT DATA body that imports a fresh 1024-bit RSA key into B081 (cheaper per run than the 2048-bit keys of the
// stored-card seeds).
Bytes importBody() {
  ossl::PkeyPtr key(EVP_RSA_gen(1024));
  if (!key) throw std::runtime_error("RSA key generation failed");
  unsigned char* der = nullptr;
  const int n = i2d_PrivateKey(key.get(), &der);
  if (n <= 0) throw std::runtime_error("i2d_PrivateKey failed");
  const Bytes derBytes(der, der + n);
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  const Bytes crt = tlv(0xA5, concat(scan("830102"), tlv(0x87, derBytes)));
  return tlv(0x70, concat(scan("840181"), crt));
}

// Runs a session on `runtime`; every command must succeed (9000 or 61xx) except
// those listed in `refused`, which must not, so that a seed does what it says.
void run(IJCRuntime& runtime, const std::vector<std::string>& texts, const std::vector<std::string>& refused = {}) {
  for (const std::string& text : texts) {
    const std::uint32_t sw = execute(runtime, text.c_str());
    const bool ok = sw == 0x9000 || (sw & 0xFF00) == 0x6100;
    if (ok == (std::find(refused.begin(), refused.end(), text) != refused.end()))
      throw std::runtime_error("unexpected status " + std::to_string(sw) + " for " + text);
  }
}

Bytes snapshot(IJCRuntime& runtime) {
  const auto document = FilePersist::snapshotHeap(runtime);
  if (!document) throw std::runtime_error("snapshotHeap failed");
  return Bytes(document->begin(), document->end());
}

void write(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
  std::printf("%6zu %s\n", bytes.size(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  try {
    const std::vector<std::string> script = personalisationTexts();
    // What OpenSC sends to a personalised card: select, read the card's data
    // objects, log in, create and activate a key file, read its empty key, ask
    // for an administrator challenge, change the PIN.
    const std::vector<std::string> opensc = {kSelectGids,
                                             "00CBA012045C02DF2000",
                                             "00CBA000045C02DF1F00",
                                             "00CBA010045C02DF2000",
                                             kVerify,
                                             kCreateKeyFile,
                                             kActivate,
                                             kReadPublicKey,
                                             "00870000047C028100",
                                             "00240080083132333435363738"};
    // With the card's key B081 in place: sign a DigestInfo, decipher a raw block.
    std::vector<std::string> useKey = {kSelectGids, kVerify, "002241B606800157840181", kSignDigestInfo,
                                       "002241B806800107840181"};
    appendChained(useKey, "002A8086", concat(Bytes{0x00}, Bytes(255, 0x5A)), "00");
    useKey.push_back(kReadPublicKey);
    useKey.push_back(kGetResponse);

    JCRuntimeImpl blank;
    GidsApplet::install(blank);
    const Bytes blankDocument = snapshot(blank);

    JCRuntimeImpl personalised;
    GidsApplet::install(personalised);
    run(personalised, script);
    const Bytes personalisedDocument = snapshot(personalised);

    JCRuntimeImpl keyed;
    GidsApplet::install(keyed);
    run(keyed, script);
    run(keyed, {kVerify, kCreateKeyFile, kActivate, kGenerate2048});
    const Bytes keyedDocument = snapshot(keyed);

    std::vector<std::string> importing = {kVerify, kCreateKeyFile, kActivate};
    appendChained(importing, "00DB3FFF", importBody(), "");
    importing.insert(importing.end(), {"002241B606800157840181", kSignDigestInfo, "002241B806800107840181"});
    appendChained(importing, "002A8086", concat(Bytes{0x00}, Bytes(127, 0x5A)), "00");
    importing.push_back(kReadPublicKey);

    // The sessions as the seeds will run them.
    {
      JCRuntimeImpl card;
      GidsApplet::install(card);
      run(card, script);
      run(card, opensc, {kReadPublicKey});
      JCRuntimeImpl importer;
      GidsApplet::install(importer);
      run(importer, script);
      run(importer, importing);
      JCRuntimeImpl user;
      if (!fuzz::loadCard(keyedDocument, user)) throw std::runtime_error("keyed card does not load");
      run(user, useKey);
    }

    auto session = [](std::uint8_t card, const Bytes& commands) { return concat(Bytes{card}, commands); };
    write(dir / "apdu/personalise.bin", session(0, stream(script)));
    write(dir / "apdu/opensc-session.bin", session(1, stream(opensc)));
    write(dir / "apdu/import-sign-decipher.bin", session(1, stream(importing)));

    write(dir / "container/blank-card.xml", blankDocument);
    write(dir / "container/personalised-card.xml", personalisedDocument);
    write(dir / "container/card-with-rsa2048.xml", keyedDocument);

    auto stored = [](const Bytes& document, const Bytes& commands) {
      return concat(concat(document, Bytes{0}), commands);
    };
    write(dir / "stored-card/blank-personalise.bin", stored(blankDocument, stream(script)));
    write(dir / "stored-card/personalised-opensc.bin", stored(personalisedDocument, stream(opensc)));
    write(dir / "stored-card/rsa2048-sign-decipher.bin", stored(keyedDocument, stream(useKey)));

    // Command APDUs whose data the card parses as BER-TLV, with the header that
    // points the TLV target at their data: tag, offset 5, length and Lc.
    const std::pair<const char*, const char*> tlvCommands[] = {
        {"create-key-file.bin", kCreateKeyFile},
        {"mse-sign.bin", "002241B606800157840181"},
        {"get-data.bin", "00CBA012045C02DF2000"},
        {"put-data-serial.bin", "00DBA01213DF2010 00112233445566778899AABBCCDDEEFF"},
        {"general-authenticate.bin", "00870000047C028100"},
        {"read-public-key.bin", kReadPublicKey},
    };
    for (const auto& [file, text] : tlvCommands) {
      const Bytes command = scan(text);
      write(dir / "tlv" / file, concat(Bytes{command[5], 5, command[4], command[4]}, command));
    }
    const Bytes importData = importBody();
    write(dir / "tlv/import-rsa1024.bin", concat(Bytes{0x87, 0, 0xFF, 0xFF}, importData));

    ossl::SecureBytes compressed;
    if (container::CabinetCompress(keyedDocument.data(), keyedDocument.size(), compressed) != 0)
      throw std::runtime_error("CabinetCompress failed");
    write(dir / "mszip/card-with-rsa2048.bin", Bytes(compressed.begin(), compressed.end()));
    // One payload as it is, one repeated 15 times over three chunks with
    // chunks over a 4 KiB deflate budget stored.
    write(dir / "mszip-roundtrip/personalised-card.bin", concat(Bytes{0x00}, personalisedDocument));
    write(dir / "mszip-roundtrip/card-repeated-stored.bin", concat(Bytes{0x27}, keyedDocument));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}

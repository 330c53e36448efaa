// What the GIDS applet adds to a command: SELECT by AID and GET DATA of the
// 141-byte master file through transmit(), against transmit() to an applet that
// does nothing; and a card signature (MSE once, then COMPUTE DIGITAL SIGNATURE)
// against OpenSSL signing the same DigestInfo with a key prepared once.
#include <benchmark/benchmark.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "base/Hex.h"
#include "base/OpenSsl.h"
#include "gids/GidsApplet.h"
#include "jc/IApplet.h"
#include "jc/PersistentObject.h"
#include "runtime/JCRuntimeImpl.h"

namespace {

using namespace quillon;

std::vector<std::uint8_t> bytes(const std::string& text) {
  std::vector<std::uint8_t> out;
  if (!hex::decode(text, out)) std::abort();
  return out;
}

struct Card {
  JCRuntimeImpl runtime;
  Card() { GidsApplet::install(runtime); }
  std::uint16_t send(const std::vector<std::uint8_t>& command) {
    std::uint8_t response[300];
    std::uint32_t length = sizeof response;
    if (runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length) != 0)
      std::abort();
    return static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
  }
  void expect(const std::string& command) {
    if (send(bytes(command)) != 0x9000) std::abort();
  }
};

class NullApplet final : public IApplet {
 public:
  explicit NullApplet(IJCRuntime& runtime) : runtime_(runtime) {}
  ~NullApplet() override { runtime_.setApplet(nullptr); }
  void process(APDU&) override {}
  void serialize(IArchive&) override {}

 private:
  IJCRuntime& runtime_;
};

void transmitLoop(benchmark::State& state, IJCRuntime& runtime, const std::vector<std::uint8_t>& command) {
  std::uint8_t response[300];
  for (auto _ : state) {
    std::uint32_t length = sizeof response;
    benchmark::DoNotOptimize(
        runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length));
  }
}

void nullAppletLoop(benchmark::State& state, const std::vector<std::uint8_t>& command) {
  JCRuntimeImpl runtime;
  runtime.setApplet(makePersistent<NullApplet>(runtime, JC_HERE("bench"), runtime));
  transmitLoop(state, runtime, command);
}

const std::vector<std::uint8_t> kSelect = bytes("00A4040409A0000003974254465900");

void BM_SelectByAid(benchmark::State& state) {
  Card card;
  transmitLoop(state, card.runtime, kSelect);
}
BENCHMARK(BM_SelectByAid);

void BM_SelectByAid_Baseline(benchmark::State& state) { nullAppletLoop(state, kSelect); }
BENCHMARK(BM_SelectByAid_Baseline);

const std::vector<std::uint8_t> kGetMasterFile = bytes("00CBA000045C02DF1F00");

void BM_GetData141(benchmark::State& state) {
  Card card;
  card.expect("00E000000E620C8201398302A0008C03033000");
  card.expect("0044000000");
  card.expect("00DBA00091DF1F818D" + std::string(141 * 2, '5'));
  transmitLoop(state, card.runtime, kGetMasterFile);
}
BENCHMARK(BM_GetData141);

void BM_GetData141_Baseline(benchmark::State& state) { nullAppletLoop(state, kGetMasterFile); }
BENCHMARK(BM_GetData141_Baseline);

// The key both sides sign with.
ossl::PkeyPtr benchKey() {
  static ossl::PkeyPtr key = [] {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* k = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &k) != 1)
      std::abort();
    return ossl::PkeyPtr(k);
  }();
  EVP_PKEY_up_ref(key.get());
  return ossl::PkeyPtr(key.get());
}

const std::string kDigestInfo =
    "3031300d060960864801650304020105000420"
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// Sends data of any length as a chain of 255-byte commands.
void sendChained(Card& card, const std::string& header, const std::vector<std::uint8_t>& data) {
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, data.size() - at);
    const bool last = at + n == data.size();
    std::vector<std::uint8_t> command = bytes((last ? "00" : "10") + header);
    command.push_back(static_cast<std::uint8_t>(n));
    command.insert(command.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (card.send(command) != 0x9000) std::abort();
  }
}

// 70 { 84 01 81, A5 { 83 01 02, 87 <DER RSAPrivateKey> } }
std::vector<std::uint8_t> importTemplate(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int n = i2d_PrivateKey(key, &der);
  auto tlv = [](std::uint8_t tag, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> out{tag, 0x82, static_cast<std::uint8_t>(value.size() >> 8),
                                  static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
  };
  std::vector<std::uint8_t> a5 = bytes("830102");
  const auto key87 = tlv(0x87, std::vector<std::uint8_t>(der, der + n));
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  a5.insert(a5.end(), key87.begin(), key87.end());
  std::vector<std::uint8_t> inner = bytes("840181");
  const auto crt = tlv(0xA5, a5);
  inner.insert(inner.end(), crt.begin(), crt.end());
  return tlv(0x70, inner);
}

void BM_Sign2048(benchmark::State& state) {
  Card card;
  // Key file B081 allowing PKCS#1 signing (B6 57), the bench key imported into it.
  card.expect("00E000001F621D8201188302B0818C03030000A50FB603800157B603800117B803800147");
  card.expect("0044000000");
  const ossl::PkeyPtr key = benchKey();
  sendChained(card, "DB3FFF", importTemplate(key.get()));
  card.expect("002241B606800157840181");
  const std::vector<std::uint8_t> sign = bytes("002A9E9A33" + kDigestInfo + "00");
  for (auto _ : state) benchmark::DoNotOptimize(card.send(sign));
}
BENCHMARK(BM_Sign2048)->Unit(benchmark::kMicrosecond);

void BM_Sign2048_Baseline(benchmark::State& state) {
  const ossl::PkeyPtr key = benchKey();
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
    std::abort();
  const std::vector<std::uint8_t> info = bytes(kDigestInfo);
  std::uint8_t signature[256];
  for (auto _ : state) {
    std::size_t length = sizeof signature;
    benchmark::DoNotOptimize(EVP_PKEY_sign(ctx.get(), signature, &length, info.data(), info.size()));
  }
}
BENCHMARK(BM_Sign2048_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace

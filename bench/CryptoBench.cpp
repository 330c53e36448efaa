// RSA-2048 through the card's objects against OpenSSL used directly: a signature
// through Cipher::doFinal (the card builds its OpenSSL key from the stored
// components) against EVP_PKEY_sign with a key and context prepared once, and
// key pair generation through genKeyPair against EVP_PKEY_keygen.
#include <benchmark/benchmark.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <stdexcept>

#include "base/OpenSsl.h"
#include "crypto/CNGKeyPair.h"
#include "jc/Cipher.h"
#include "jc/PersistentObject.h"
#include "runtime/JCRuntimeImpl.h"

namespace {

using namespace quillon;

constexpr std::uint16_t kBits = 2048;

// A SHA-256 DigestInfo: the prefix, then a 32-byte hash.
constexpr std::uint8_t kDigestInfo[51] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                                          0x02, 0x01, 0x05, 0x00, 0x04, 0x20, 1,    2,    3,    4,    5,    6,    7,
                                          8,    9,    10,   11,   12,   13,   14,   15,   16,   17,   18,   19,   20,
                                          21,   22,   23,   24,   25,   26,   27,   28,   29,   30,   31,   32};

// A runtime with a generated 2048-bit pair and a PKCS #1 cipher on its private key.
struct CardSigner {
  CardSigner() {
    pair = static_cast<CNGKeyPair*>(runtime.createKeyPair(2, kBits));
    pair->genKeyPair();
    cipher = runtime.createCipher(Cipher::ALG_RSA_PKCS1);
    cipher->init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
    input = ByteArray(sizeof kDigestInfo, runtime.persistentMemory(), JC_HERE("bench"));
    for (std::uint16_t i = 0; i < sizeof kDigestInfo; ++i) input[i] = kDigestInfo[i];
    output = ByteArray(kBits / 8, runtime.persistentMemory(), JC_HERE("bench"));
  }
  ~CardSigner() {
    destroyPersistent(runtime, cipher, JC_HERE("bench"));
    destroyPersistent(runtime, pair, JC_HERE("bench"));
  }

  JCRuntimeImpl runtime;
  CNGKeyPair* pair = nullptr;
  Cipher* cipher = nullptr;
  ByteArray input;
  ByteArray output;
};

void BM_RsaSign(benchmark::State& state) {
  CardSigner card;
  for (auto _ : state)
    benchmark::DoNotOptimize(card.cipher->doFinal(card.input, 0, card.input.length(), card.output, 0));
}
BENCHMARK(BM_RsaSign)->Unit(benchmark::kMicrosecond);

void BM_RsaSign_Baseline(benchmark::State& state) {
  CardSigner card;
  const ossl::PkeyPtr pkey = card.pair->getPrivate()->buildHandle();
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) <= 0)
    throw std::runtime_error("sign context");
  std::uint8_t signature[kBits / 8];
  for (auto _ : state) {
    std::size_t length = sizeof signature;
    benchmark::DoNotOptimize(EVP_PKEY_sign(ctx.get(), signature, &length, kDigestInfo + 19, 32));
  }
}
BENCHMARK(BM_RsaSign_Baseline)->Unit(benchmark::kMicrosecond);

// Key generation time depends on how soon primes turn up: each iteration makes
// many keys. (A fixed iteration count would rename the benchmark.)
constexpr int kKeysPerIteration = 20;

void BM_GenKeyPair(benchmark::State& state) {
  JCRuntimeImpl runtime;
  KeyPair* pair = runtime.createKeyPair(2, kBits);
  for (auto _ : state)
    for (int i = 0; i < kKeysPerIteration; ++i) pair->genKeyPair();
  destroyPersistent(runtime, pair, JC_HERE("bench"));
}
BENCHMARK(BM_GenKeyPair)->Unit(benchmark::kMillisecond);

void BM_GenKeyPair_Baseline(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < kKeysPerIteration; ++i) {
      ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
      EVP_PKEY* raw = nullptr;
      if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kBits) <= 0 ||
          EVP_PKEY_keygen(ctx.get(), &raw) <= 0)
        throw std::runtime_error("keygen");
      ossl::PkeyPtr pkey(raw);
    }
  }
}
BENCHMARK(BM_GenKeyPair_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace

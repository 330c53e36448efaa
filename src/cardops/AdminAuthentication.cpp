#include "cardops/AdminAuthentication.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>

#include "base/Trace.h"
#include "cardops/CardExchange.h"

namespace quillon::cardops {

namespace {
constexpr const char* kFn = "authenticateAdministrator";
constexpr const char* kStep = "authenticating the administrator";
constexpr std::size_t kKeySize = 24;
constexpr std::size_t kChallenge = 16;
constexpr std::size_t kFurther = 7;
constexpr std::size_t kCryptogram = 2 * kChallenge + kFurther + 1;  // 40: ends with the padding byte 80

// Triple-DES in CBC mode with a zero vector and no padding, over whole blocks.
bool tdesCbc(const ossl::SecureBytes& key, std::span<const std::uint8_t> in, ossl::SecureBytes& out, bool encrypt) {
  ossl::CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr));
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  const std::uint8_t iv[8] = {};
  out.assign(in.size() + 8, 0);
  int n = 0;
  int last = 0;
  if (!cipher || !ctx || EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), iv, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + n, &last) != 1) {
    ossl::traceErrors(kFn, "DES-EDE3-CBC", trace::kError);
    return false;
  }
  out.resize(static_cast<std::size_t>(n + last));
  return out.size() == in.size();
}

Result cryptoFailure() { return Result{Outcome::kFailed, "The triple-DES computation for the card failed."}; }
}  // namespace

Result authenticateAdministrator(CardChannel& card, const ossl::SecureBytes& adminKey) {
  if (adminKey.size() != kKeySize) return Result{Outcome::kInvalidInput, "The admin key must be 24 bytes."};
  QTRACE(trace::kInformation, kFn, "authenticateAdministrator: mutual authentication with key reference 80");
  Answer answer;

  const std::uint8_t keyReference[] = {0x83, 0x01, 0x80};
  if (const std::uint32_t error = exchange(card, buildCommand(0x22, 0xC1, 0xA4, keyReference, false), answer))
    return channelFailure(kStep, error);
  if (answer.sw != kSwOk) return statusFailure(kStep, answer.sw);

  // Our challenge; the card answers with its own.
  ossl::SecureBytes terminalChallenge(kChallenge);
  if (RAND_bytes(terminalChallenge.data(), static_cast<int>(kChallenge)) != 1) return cryptoFailure();
  ossl::SecureBytes request{0x7C, 0x12, 0x81, 0x10};
  request.insert(request.end(), terminalChallenge.begin(), terminalChallenge.end());
  if (const std::uint32_t error = exchange(card, buildCommand(0x87, 0x00, 0x00, request, true), answer))
    return channelFailure(kStep, error);
  if (answer.sw != kSwOk) return statusFailure(kStep, answer.sw);
  const std::uint8_t challengeHeader[] = {0x7C, 0x12, 0x81, 0x10};
  if (answer.data.size() != 4 + kChallenge || !std::equal(challengeHeader, challengeHeader + 4, answer.data.begin())) {
    QTRACE(trace::kError, kFn, "authenticateAdministrator: challenge answer of %zu bytes not understood",
           answer.data.size());
    return Result{Outcome::kFailed, "The card's challenge for the authentication is not valid."};
  }
  const ossl::SecureBytes cardChallenge(answer.data.begin() + 4, answer.data.end());

  // card challenge || our challenge || 7 further bytes || 80, enciphered under the key.
  ossl::SecureBytes plain(cardChallenge);
  plain.insert(plain.end(), terminalChallenge.begin(), terminalChallenge.end());
  plain.resize(2 * kChallenge + kFurther);
  if (RAND_bytes(plain.data() + 2 * kChallenge, static_cast<int>(kFurther)) != 1) return cryptoFailure();
  plain.push_back(0x80);
  ossl::SecureBytes cryptogram;
  if (!tdesCbc(adminKey, plain, cryptogram, true)) return cryptoFailure();
  ossl::SecureBytes response{0x7C, 0x2A, 0x82, 0x28};
  response.insert(response.end(), cryptogram.begin(), cryptogram.end());
  if (const std::uint32_t error = exchange(card, buildCommand(0x87, 0x00, 0x00, response, true), answer))
    return channelFailure(kStep, error);
  if (answer.sw == 0x6982) {
    QTRACE(trace::kWarning, kFn, "authenticateAdministrator: the card refused the key");
    return Result{Outcome::kWrongSecret, "The admin key is wrong."};
  }
  if (answer.sw != kSwOk) return statusFailure(kStep, answer.sw);

  // The card proves itself: our challenge || its challenge || its 7 bytes || 80.
  const std::uint8_t responseHeader[] = {0x7C, 0x2A, 0x82, 0x28};
  ossl::SecureBytes cardPlain;
  if (answer.data.size() != 4 + kCryptogram || !std::equal(responseHeader, responseHeader + 4, answer.data.begin()) ||
      !tdesCbc(adminKey, std::span(answer.data).subspan(4), cardPlain, false) ||
      CRYPTO_memcmp(cardPlain.data(), terminalChallenge.data(), kChallenge) != 0 ||
      CRYPTO_memcmp(cardPlain.data() + kChallenge, cardChallenge.data(), kChallenge) != 0 ||
      cardPlain[kCryptogram - 1] != 0x80) {
    QTRACE(trace::kError, kFn, "authenticateAdministrator: the card's cryptogram does not check out");
    return Result{Outcome::kFailed, "The card's answer to the authentication is not valid."};
  }
  QTRACE(trace::kInformation, kFn, "authenticateAdministrator: authenticated");
  return {};
}

}  // namespace quillon::cardops

#include "crypto/CNGCipherFull.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>

#include "base/OpenSsl.h"
#include "base/Trace.h"
#include "crypto/CNGDESKey.h"
#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "crypto/CryptoInternal.h"
#include "crypto/DigestInfo.h"
#include "jc/Exceptions.h"

namespace quillon {

namespace {

constexpr const char* kDoFinal = "CNGCipherFull::doFinal";
constexpr const char* kDoDES = "CNGCipherFull::doDES";
constexpr const char* kDoRSA = "CNGCipherFull::doRSA";

using crypto_internal::platformFailure;

// Copies an operation's output into destination at offset, which was checked to
// have room for it.
std::uint16_t deliver(const ossl::SecureBytes& output, std::size_t length, ByteArray& destination,
                      std::uint16_t offset) {
  destination.checkRange(offset, static_cast<std::uint32_t>(length));
  if (length > 0) std::memcpy(destination.data() + offset, output.data(), length);
  return static_cast<std::uint16_t>(length);
}

ossl::PkeyCtxPtr contextFor(EVP_PKEY* pkey, const char* call) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx) platformFailure(kDoRSA, call);
  return ctx;
}

// m^d mod n of a block exactly as long as the modulus: the raw private-key operation.
std::uint16_t rawPrivate(EVP_PKEY* pkey, const std::uint8_t* block, std::size_t length, ByteArray& destination,
                         std::uint16_t offset) {
  constexpr const char* kCall = "EVP_PKEY_decrypt (raw sign)";
  ossl::PkeyCtxPtr ctx = contextFor(pkey, kCall);
  ossl::SecureBytes out(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t outLength = out.size();
  if (EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, block, length) <= 0)
    platformFailure(kDoRSA, kCall);
  return deliver(out, outLength, destination, offset);
}

// PKCS #1 v1.5 signature of a hash under the named digest.
std::uint16_t signHash(EVP_PKEY* pkey, const char* hashName, const std::uint8_t* hash, std::size_t length,
                       ByteArray& destination, std::uint16_t offset) {
  constexpr const char* kCall = "EVP_PKEY_sign";
  ossl::PkeyCtxPtr ctx = contextFor(pkey, kCall);
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, const_cast<char*>(hashName), 0),
      OSSL_PARAM_construct_end()};
  ossl::SecureBytes out(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t outLength = out.size();
  if (EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_params(ctx.get(), params) <= 0 ||
      EVP_PKEY_sign(ctx.get(), out.data(), &outLength, hash, length) <= 0)
    platformFailure(kDoRSA, kCall);
  return deliver(out, outLength, destination, offset);
}

bool setDecryptPadding(EVP_PKEY_CTX* ctx, std::uint8_t algorithm) {
  switch (algorithm) {
    case Cipher::ALG_RSA_PKCS1: {
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
      // A bad block is reported as a failure, as the card has always done; whoever
      // may send ciphertexts may decrypt anyway, so the error tells them nothing new.
      unsigned int implicitRejection = 0;
      const OSSL_PARAM params[] = {
          OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &implicitRejection),
          OSSL_PARAM_construct_end()};
      if (EVP_PKEY_CTX_set_params(ctx, params) <= 0) return false;
#endif
      return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0;
    }
    case Cipher::ALG_RSA_OAEP:
      return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
             EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx, "SHA1", nullptr) > 0 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md_name(ctx, "SHA1", nullptr) > 0;
    default: return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) > 0;
  }
}

std::uint16_t decrypt(EVP_PKEY* pkey, std::uint8_t algorithm, const std::uint8_t* input, std::size_t length,
                      ByteArray& destination, std::uint16_t offset) {
  constexpr const char* kCall = "EVP_PKEY_decrypt";
  ossl::PkeyCtxPtr ctx = contextFor(pkey, kCall);
  // OpenSSL writes up to the modulus length whatever the padding leaves.
  ossl::SecureBytes out(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t outLength = out.size();
  if (EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !setDecryptPadding(ctx.get(), algorithm) ||
      EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, input, length) <= 0)
    platformFailure(kDoRSA, kCall);
  const std::size_t room = destination.length() - offset;
  if (outLength > room) {
    QTRACE(trace::kCritical, kDoRSA, "%s: %zu bytes do not fit in %zu", kCall, outLength, room);
    CryptoException::throwIt(CryptoException::PLATFORM_ERROR);
  }
  return deliver(out, outLength, destination, offset);
}

}  // namespace

std::uint16_t CNGCipherFull::doFinal(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                                     ByteArray& destination, std::uint16_t destinationOffset) {
  QTRACE(trace::kVerbose, kDoFinal, "doFinal");
  switch (algorithm_) {
    case ALG_RSA_PKCS1:
    case ALG_RSA_OAEP:
    case ALG_RSA_NOPAD: return doRSA(source, sourceOffset, length, destination, destinationOffset);
    case ALG_DES_CBC_NOPAD: return doDES(source, sourceOffset, length, destination, destinationOffset);
    default: CryptoException::throwIt(CryptoException::NO_SUCH_ALGORITHM);
  }
}

std::uint16_t CNGCipherFull::doDES(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                                   ByteArray& destination, std::uint16_t destinationOffset) {
  QTRACE(trace::kVerbose, kDoDES, "doDES");
  if (key_ == nullptr || !key_->isInitialized()) return 0;
  auto* key = dynamic_cast<CNGDESKey*>(key_);
  if (key == nullptr) CryptoException::throwIt(CryptoException::ILLEGAL_VALUE);
  source.checkRange(sourceOffset, length);
  destination.checkRange(destinationOffset, length);

  ossl::CipherPtr cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr));
  if (!cipher) platformFailure(kDoDES, "EVP_CIPHER_fetch");
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) platformFailure(kDoDES, "EVP_CIPHER_CTX_new");
  const bool encrypt = mode_ == MODE_ENCRYPT;
  // Every call starts a new chain from a zero IV.
  const std::uint8_t iv[8] = {};
  if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key->keyBytes().data(), iv, encrypt ? 1 : 0, nullptr) != 1)
    platformFailure(kDoDES, "EVP_CipherInit_ex2");
  if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) platformFailure(kDoDES, "EVP_CIPHER_CTX_set_padding");

  // Written to destination only once the whole operation succeeded (a length that
  // is not a multiple of 8 fails at the end).
  ossl::SecureBytes out(std::size_t{length} + 8);
  int updated = 0, finished = 0;
  if (length > 0 && EVP_CipherUpdate(ctx.get(), out.data(), &updated, source.data() + sourceOffset, length) != 1)
    platformFailure(kDoDES, encrypt ? "EVP_CipherUpdate (encrypt)" : "EVP_CipherUpdate (decrypt)");
  if (EVP_CipherFinal_ex(ctx.get(), out.data() + updated, &finished) != 1)
    platformFailure(kDoDES, encrypt ? "EVP_CipherFinal_ex (encrypt)" : "EVP_CipherFinal_ex (decrypt)");
  return deliver(out, static_cast<std::size_t>(updated + finished), destination, destinationOffset);
}

std::uint16_t CNGCipherFull::doRSA(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                                   ByteArray& destination, std::uint16_t destinationOffset) {
  QTRACE(trace::kVerbose, kDoRSA, "doRSA");
  if (key_ == nullptr || !key_->isInitialized()) return 0;
  auto* key = dynamic_cast<CNGRSAPrivateCrtKeyWithPub*>(key_);
  if (key == nullptr) CryptoException::throwIt(CryptoException::ILLEGAL_VALUE);
  CNGRSAPublicKey* publicKey = key->publicKey();
  if (publicKey == nullptr || !publicKey->isInitialized()) return 0;

  const std::uint16_t cbModulus = publicKey->modulus().length();
  source.checkRange(sourceOffset, length);
  destination.checkRange(destinationOffset, mode_ == MODE_DECRYPT ? 0 : cbModulus);

  const ossl::PkeyPtr pkey = key->buildHandle();
  if (!pkey) return 0;
  const std::uint8_t* input = source.data() + sourceOffset;

  if (mode_ == MODE_DECRYPT) return decrypt(pkey.get(), algorithm_, input, length, destination, destinationOffset);

  // A block the host padded itself (PSS, for example) is as long as the modulus.
  if (algorithm_ == ALG_RSA_NOPAD && length == cbModulus)
    return rawPrivate(pkey.get(), input, length, destination, destinationOffset);

  if (const auto* entry = crypto_internal::matchDigestInfo(input, length)) {
    const std::size_t prefixLength = entry->prefix.size();
    if (length - prefixLength != entry->hashLength()) CryptoException::throwIt(CryptoException::ILLEGAL_USE);
    return signHash(pkey.get(), entry->hashName, input + prefixLength, length - prefixLength, destination,
                    destinationOffset);
  }

  // Raw signature: PKCS #1 v1.5 block type 1 around the input, 00 01 FF .. FF 00 data.
  const int padLength = int{cbModulus} - int{length};
  if (padLength <= 3) {
    QTRACE(trace::kCritical, kDoRSA, "dataOffset too small: %zu", static_cast<std::size_t>(padLength));
    CryptoException::throwIt(CryptoException::ILLEGAL_USE);
  }
  ossl::SecureBytes block(cbModulus, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[static_cast<std::size_t>(padLength) - 1] = 0x00;
  if (length > 0) std::memcpy(block.data() + padLength, input, length);
  return rawPrivate(pkey.get(), block.data(), block.size(), destination, destinationOffset);
}

}  // namespace quillon

#include "container/ContainerCrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <new>

#include "base/Status.h"
#include "base/Trace.h"

namespace quillon::container {

namespace {

constexpr std::size_t kDigestBytes = 32;

// EVP's cipher updates take int lengths: longer inputs go through in slices.
constexpr std::size_t kSlice = std::size_t{1} << 30;

// Traces OpenSSL's error queue for a failed call and gives the HRESULT of the status.
std::uint32_t gcmFailure(const char* function, const char* call, std::uint32_t ntStatus) {
  ossl::traceErrors(function, call, trace::kError);
  return status::hresultFromNt(ntStatus);
}

bool cipherUpdate(EVP_CIPHER_CTX* ctx, bool encrypt, const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
  while (size > 0) {
    const int n = static_cast<int>(std::min(size, kSlice));
    int produced = 0;
    const int ok =
        encrypt ? EVP_EncryptUpdate(ctx, out, &produced, in, n) : EVP_DecryptUpdate(ctx, out, &produced, in, n);
    if (ok != 1 || produced != n) return false;
    in += n;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void discard(ossl::SecureBytes& buffer) noexcept {
  OPENSSL_cleanse(buffer.data(), buffer.size());
  buffer.clear();
}

}  // namespace

bool Sha256(const std::uint8_t* data, std::size_t size, std::uint8_t digest[32]) {
  constexpr const char* kFunction = "Sha256";
  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) {
    QTRACE(trace::kError, kFunction, "Sha256: BCryptOpenAlgorithmProvider failed");
    ossl::traceErrors(kFunction, "EVP_MD_CTX_new", trace::kError);
    return false;
  }
  if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    QTRACE(trace::kError, kFunction, "Sha256: BCryptCreateHash failed");
    ossl::traceErrors(kFunction, "EVP_DigestInit_ex", trace::kError);
    return false;
  }
  if ((data == nullptr && size != 0) || EVP_DigestUpdate(ctx.get(), data, size) != 1) {
    QTRACE(trace::kError, kFunction, "Sha256: BCryptHashData failed");
    ossl::traceErrors(kFunction, "EVP_DigestUpdate", trace::kError);
    return false;
  }
  unsigned int length = 0;
  if (digest == nullptr || EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1 || length != kDigestBytes) {
    QTRACE(trace::kError, kFunction, "Sha256: BCryptFinishHash failed");
    ossl::traceErrors(kFunction, "EVP_DigestFinal_ex", trace::kError);
    return false;
  }
  return true;
}

bool HmacSha256(const std::uint8_t* secret, std::size_t secretLength, const std::uint8_t* data, std::size_t dataLength,
                std::uint8_t out[32]) {
  constexpr const char* kFunction = "HmacSha256";
  if (out == nullptr) {
    QTRACE(trace::kError, kFunction, "HmacSha256: BCryptFinishHash failed");
    return false;
  }
  OPENSSL_cleanse(out, kDigestBytes);
  ossl::MacPtr mac(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
  ossl::MacCtxPtr ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  if (!ctx) {
    QTRACE(trace::kError, kFunction, "HmacSha256: BCryptOpenAlgorithmProvider failed");
    ossl::traceErrors(kFunction, mac ? "EVP_MAC_CTX_new" : "EVP_MAC_fetch", trace::kError);
    return false;
  }
  char digestName[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                               OSSL_PARAM_construct_end()};
  // A null key would mean "keep the previous key" to EVP_MAC_init: an empty one is not null.
  static constexpr std::uint8_t kEmpty = 0;
  if ((secret == nullptr && secretLength != 0) ||
      EVP_MAC_init(ctx.get(), secret != nullptr ? secret : &kEmpty, secretLength, params) != 1) {
    QTRACE(trace::kError, kFunction, "HmacSha256: BCryptCreateHash failed");
    ossl::traceErrors(kFunction, "EVP_MAC_init", trace::kError);
    return false;
  }
  if ((data == nullptr && dataLength != 0) || EVP_MAC_update(ctx.get(), data, dataLength) != 1) {
    QTRACE(trace::kError, kFunction, "HmacSha256: BCryptHashData failed");
    ossl::traceErrors(kFunction, "EVP_MAC_update", trace::kError);
    return false;
  }
  std::size_t length = 0;
  if (EVP_MAC_final(ctx.get(), out, &length, kDigestBytes) != 1 || length != kDigestBytes) {
    OPENSSL_cleanse(out, kDigestBytes);
    QTRACE(trace::kError, kFunction, "HmacSha256: BCryptFinishHash failed");
    ossl::traceErrors(kFunction, "EVP_MAC_final", trace::kError);
    return false;
  }
  return true;
}

std::uint32_t AesGcmEncrypt(const std::uint8_t key[32], const std::uint8_t* data, std::size_t size,
                            std::vector<std::uint8_t>& out) {
  constexpr const char* kFunction = "AesGcmEncrypt";
  out.clear();
  if (size > out.max_size() - kGcmOverhead) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: HeapAlloc(%zu) failed", size);
    return status::E_OUTOFMEMORY;
  }
  try {
    out.resize(size + kGcmOverhead);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: HeapAlloc(%zu) failed", size + kGcmOverhead);
    return status::E_OUTOFMEMORY;
  }
  std::uint8_t* const nonce = out.data();
  std::uint8_t* const ciphertext = nonce + kGcmNonceBytes;
  std::uint8_t* const tag = ciphertext + size;

  // A failed encryption hands back nothing.
  const auto fail = [&out](std::uint32_t hr) {
    out.clear();
    return hr;
  };
  if (RAND_bytes(nonce, static_cast<int>(kGcmNonceBytes)) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: GenRandom st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return fail(gcmFailure(kFunction, "RAND_bytes", status::STATUS_UNSUCCESSFUL));
  }
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: open AES st=0x%08X", status::STATUS_NO_MEMORY);
    return fail(gcmFailure(kFunction, "EVP_CIPHER_CTX_new", status::STATUS_NO_MEMORY));
  }
  if (EVP_EncryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceBytes, nullptr) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: SetProperty GCM st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return fail(gcmFailure(kFunction, "EVP_EncryptInit_ex2", status::STATUS_UNSUCCESSFUL));
  }
  if (key == nullptr) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: GenerateSymmetricKey st=0x%08X", status::STATUS_INVALID_PARAMETER);
    return fail(status::hresultFromNt(status::STATUS_INVALID_PARAMETER));
  }
  if (EVP_EncryptInit_ex2(ctx.get(), nullptr, key, nonce, nullptr) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: GenerateSymmetricKey st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return fail(gcmFailure(kFunction, "EVP_EncryptInit_ex2", status::STATUS_UNSUCCESSFUL));
  }
  if (data == nullptr && size != 0) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: BCryptEncrypt st=0x%08X", status::STATUS_INVALID_PARAMETER);
    return fail(status::hresultFromNt(status::STATUS_INVALID_PARAMETER));
  }
  std::uint8_t tail[16];
  int tailLength = 0;
  if (!cipherUpdate(ctx.get(), true, data, size, ciphertext) ||
      EVP_EncryptFinal_ex(ctx.get(), tail, &tailLength) != 1 || tailLength != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kGcmTagBytes, tag) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmEncrypt: BCryptEncrypt st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return fail(gcmFailure(kFunction, "EVP_EncryptUpdate", status::STATUS_UNSUCCESSFUL));
  }
  return status::S_OK;
}

std::uint32_t AesGcmDecrypt(const std::uint8_t key[32], const std::uint8_t* blob, std::size_t blobSize,
                            ossl::SecureBytes& out) {
  constexpr const char* kFunction = "AesGcmDecrypt";
  discard(out);
  if (blobSize < kGcmOverhead) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: blob too small (%zu bytes)", blobSize);
    return status::E_INVALIDARG;
  }
  if (key == nullptr || blob == nullptr) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: GenerateSymmetricKey st=0x%08X", status::STATUS_INVALID_PARAMETER);
    return status::hresultFromNt(status::STATUS_INVALID_PARAMETER);
  }
  const std::size_t size = blobSize - kGcmOverhead;
  const std::uint8_t* const nonce = blob;
  const std::uint8_t* const ciphertext = blob + kGcmNonceBytes;
  std::uint8_t tag[kGcmTagBytes];
  std::copy_n(ciphertext + size, kGcmTagBytes, tag);

  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: open AES st=0x%08X", status::STATUS_NO_MEMORY);
    return gcmFailure(kFunction, "EVP_CIPHER_CTX_new", status::STATUS_NO_MEMORY);
  }
  if (EVP_DecryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kGcmNonceBytes, nullptr) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: SetProperty GCM st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return gcmFailure(kFunction, "EVP_DecryptInit_ex2", status::STATUS_UNSUCCESSFUL);
  }
  if (EVP_DecryptInit_ex2(ctx.get(), nullptr, key, nonce, nullptr) != 1) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: GenerateSymmetricKey st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return gcmFailure(kFunction, "EVP_DecryptInit_ex2", status::STATUS_UNSUCCESSFUL);
  }
  try {
    out.resize(size);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: HeapAlloc(%zu) failed", size);
    return status::E_OUTOFMEMORY;
  }
  if (!cipherUpdate(ctx.get(), false, ciphertext, size, out.data()) ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagBytes, tag) != 1) {
    discard(out);
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: BCryptDecrypt st=0x%08X", status::STATUS_UNSUCCESSFUL);
    return gcmFailure(kFunction, "EVP_DecryptUpdate", status::STATUS_UNSUCCESSFUL);
  }
  std::uint8_t tail[16];
  int tailLength = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), tail, &tailLength) != 1 || tailLength != 0) {
    // Nothing of an unauthenticated plaintext leaves this function.
    discard(out);
    QTRACE(trace::kError, kFunction, "AesGcmDecrypt: BCryptDecrypt st=0x%08X", status::STATUS_AUTH_TAG_MISMATCH);
    return gcmFailure(kFunction, "EVP_DecryptFinal_ex", status::STATUS_AUTH_TAG_MISMATCH);
  }
  return status::S_OK;
}

}  // namespace quillon::container

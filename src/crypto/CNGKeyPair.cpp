#include "crypto/CNGKeyPair.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "base/Trace.h"
#include "crypto/CryptoInternal.h"
#include "jc/PersistentObject.h"

namespace quillon {

namespace {

constexpr const char* kGenKeyPair = "CNGKeyPair::genKeyPair";
constexpr unsigned kPublicExponent = 65537;

using crypto_internal::platformFailure;

// One component of the generated key as width big-endian bytes (width 0: as few
// bytes as the value needs), in a buffer that wipes itself.
ossl::SecureBytes exportComponent(const EVP_PKEY* pkey, const char* name, int width, const char* call) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &raw) <= 0) platformFailure(kGenKeyPair, call);
  ossl::BnPtr bn(raw);
  const int length = width > 0 ? width : BN_num_bytes(bn.get());
  ossl::SecureBytes bytes(static_cast<std::size_t>(length));
  if (BN_bn2binpad(bn.get(), bytes.data(), length) != length) platformFailure(kGenKeyPair, call);
  return bytes;
}

// The component as a view array over bytes, as the setters take it.
ByteArray viewOf(ossl::SecureBytes& bytes) {
  return ByteArray::view(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
}

}  // namespace

CNGKeyPair::CNGKeyPair(IJCRuntime& runtime, std::uint16_t bits) : runtime_(runtime), size_(bits) {
  public_ = makePersistent<CNGRSAPublicKey>(runtime, JC_HERE("CNGKeyPair::CNGKeyPair"), runtime, bits);
  if (public_ == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  private_ =
      makePersistent<CNGRSAPrivateCrtKeyWithPub>(runtime, JC_HERE("CNGKeyPair::CNGKeyPair"), runtime, bits, public_);
  if (private_ == nullptr) {
    destroyPersistent(runtime, public_, JC_HERE("CNGKeyPair::CNGKeyPair"));
    SystemException::throwIt(SystemException::NO_RESOURCE);
  }
}

CNGKeyPair::~CNGKeyPair() {
  destroyPersistent(runtime_, public_, JC_HERE("CNGKeyPair::~CNGKeyPair"));
  destroyPersistent(runtime_, private_, JC_HERE("CNGKeyPair::~CNGKeyPair"));
}

void CNGKeyPair::replacePublic(CNGRSAPublicKey* publicKey) noexcept {
  if (publicKey == public_) return;
  // The private key never keeps a link to a destroyed key.
  if (private_ != nullptr && private_->publicKey() == public_) private_->setPublicKey(publicKey);
  destroyPersistent(runtime_, public_, JC_HERE("CNGKeyPair::replacePublic"));
  public_ = publicKey;
}

void CNGKeyPair::replacePrivate(CNGRSAPrivateCrtKeyWithPub* privateKey) noexcept {
  if (privateKey == private_) return;
  destroyPersistent(runtime_, private_, JC_HERE("CNGKeyPair::replacePrivate"));
  private_ = privateKey;
}

void CNGKeyPair::genKeyPair() {
  QTRACE(trace::kVerbose, kGenKeyPair, "genKeyPair");

  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx) platformFailure(kGenKeyPair, "EVP_PKEY_CTX_new_from_name");
  ossl::BnPtr exponent(BN_new());
  if (!exponent || !BN_set_word(exponent.get(), kPublicExponent) || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), size_) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0)
    platformFailure(kGenKeyPair, "EVP_PKEY_CTX_set_rsa_keygen_bits");
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &raw) <= 0) platformFailure(kGenKeyPair, "EVP_PKEY_keygen");
  const ossl::PkeyPtr pkey(raw);

  // Widths as the platform's key blobs have them: the exponent in as few bytes as
  // it needs, the modulus in whole bytes of the size, every CRT value in half that.
  const int cbModulus = (size_ + 7) / 8;
  const int cbPrime = (size_ + 15) / 16;
  ossl::SecureBytes e = exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_E, 0, "EVP_PKEY_get_bn_param (public)");
  ossl::SecureBytes n = exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_N, cbModulus, "EVP_PKEY_get_bn_param (public)");
  ossl::SecureBytes parts[5] = {
      exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, cbPrime, "EVP_PKEY_get_bn_param (private)"),
      exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, cbPrime, "EVP_PKEY_get_bn_param (private)"),
      exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, cbPrime, "EVP_PKEY_get_bn_param (private)"),
      exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, cbPrime, "EVP_PKEY_get_bn_param (private)"),
      exportComponent(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, cbPrime, "EVP_PKEY_get_bn_param (private)")};

  const ByteArray eView = viewOf(e), nView = viewOf(n);
  public_->setExponent(eView, 0, eView.length());
  public_->setModulus(nView, 0, nView.length());

  const ByteArray views[5] = {viewOf(parts[0]), viewOf(parts[1]), viewOf(parts[2]), viewOf(parts[3]), viewOf(parts[4])};
  private_->setP(views[0], 0, views[0].length());
  private_->setQ(views[1], 0, views[1].length());
  private_->setDP1(views[2], 0, views[2].length());
  private_->setDQ1(views[3], 0, views[3].length());
  private_->setPQ(views[4], 0, views[4].length());
  private_->setSize(public_->getSize());
  private_->setInitialized(true);
  private_->setPublicKey(public_);
}

}  // namespace quillon

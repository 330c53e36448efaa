#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"

#include <openssl/core_names.h>

#include "crypto/CNGRSAPublicKey.h"
#include "crypto/CryptoInternal.h"
#include "crypto/NormalizeBytes.h"

namespace quillon {

namespace {

constexpr const char* kBuildHandle = "CNGRSAPrivateCrtKeyWithPub::buildHandle";

using crypto_internal::platformFailure;

// A component fitted to width bytes; its copy is wiped before the block goes back.
class NormalizedComponent {
 public:
  NormalizedComponent(IJCRuntime& runtime, const ByteArray& source, std::uint16_t width)
      : bytes_(normalizeBytes(runtime, source, width)) {}
  ~NormalizedComponent() { crypto_internal::wipe(bytes_); }
  NormalizedComponent(const NormalizedComponent&) = delete;
  NormalizedComponent& operator=(const NormalizedComponent&) = delete;

  // A BIGNUM of the secure heap, cleared when freed.
  ossl::BnPtr toSecretBn() const {
    ossl::BnPtr bn(BN_secure_new());
    if (!bn || !BN_bin2bn(bytes_.data(), bytes_.length(), bn.get())) platformFailure(kBuildHandle, "BN_bin2bn");
    BN_set_flags(bn.get(), BN_FLG_CONSTTIME);
    return bn;
  }

 private:
  ByteArray bytes_;
};

ossl::BnPtr publicBn(const ByteArray& bytes) {
  ossl::BnPtr bn(BN_bin2bn(bytes.data(), bytes.length(), nullptr));
  if (!bn) platformFailure(kBuildHandle, "BN_bin2bn");
  return bn;
}

// OpenSSL keeps the private exponent beside the CRT values (it falls back on it
// when a CRT result fails its check): d = e^-1 mod lcm(p - 1, q - 1).
ossl::BnPtr privateExponent(const BIGNUM* e, const BIGNUM* p, const BIGNUM* q) {
  ossl::BnCtxPtr ctx(BN_CTX_secure_new());
  ossl::BnPtr p1(BN_secure_new()), q1(BN_secure_new()), gcd(BN_secure_new()), lcm(BN_secure_new()), d(BN_secure_new());
  if (!ctx || !p1 || !q1 || !gcd || !lcm || !d) platformFailure(kBuildHandle, "BN_secure_new");
  if (!BN_sub(p1.get(), p, BN_value_one()) || !BN_sub(q1.get(), q, BN_value_one()) ||
      !BN_mul(lcm.get(), p1.get(), q1.get(), ctx.get()) || !BN_gcd(gcd.get(), p1.get(), q1.get(), ctx.get()) ||
      !BN_div(lcm.get(), nullptr, lcm.get(), gcd.get(), ctx.get()))
    platformFailure(kBuildHandle, "BN_div");
  BN_set_flags(lcm.get(), BN_FLG_CONSTTIME);
  if (!BN_mod_inverse(d.get(), e, lcm.get(), ctx.get())) platformFailure(kBuildHandle, "BN_mod_inverse");
  return d;
}

}  // namespace

ossl::PkeyPtr CNGRSAPrivateCrtKeyWithPub::buildHandle() {
  if (!isInitialized() || publicKey_ == nullptr || !publicKey_->isInitialized()) {
    cached_.reset();
    return nullptr;
  }
  if (!cached_ || cachedRevision_ != publicKey_->revision()) {
    cached_.reset();
    cached_ = importKey();
    cachedRevision_ = publicKey_->revision();
  }
  if (EVP_PKEY_up_ref(cached_.get()) != 1) platformFailure(kBuildHandle, "EVP_PKEY_up_ref");
  return ossl::PkeyPtr(cached_.get());
}

ossl::PkeyPtr CNGRSAPrivateCrtKeyWithPub::importKey() {
  const ByteArray& modulus = publicKey_->modulus();
  // Rounded up: a modulus of an odd number of bytes has primes of half a byte more.
  const std::uint16_t cbPrime = static_cast<std::uint16_t>((modulus.length() + 1) / 2);
  IJCRuntime& rt = runtime();
  ossl::BnPtr n = publicBn(modulus);
  ossl::BnPtr e = publicBn(publicKey_->exponent());
  ossl::BnPtr p = NormalizedComponent(rt, component(Component::P), cbPrime).toSecretBn();
  ossl::BnPtr q = NormalizedComponent(rt, component(Component::Q), cbPrime).toSecretBn();
  ossl::BnPtr dp = NormalizedComponent(rt, component(Component::DP1), cbPrime).toSecretBn();
  ossl::BnPtr dq = NormalizedComponent(rt, component(Component::DQ1), cbPrime).toSecretBn();
  ossl::BnPtr qinv = NormalizedComponent(rt, component(Component::PQ), cbPrime).toSecretBn();
  ossl::BnPtr d = privateExponent(e.get(), p.get(), q.get());

  ossl::ParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()))
    platformFailure(kBuildHandle, "OSSL_PARAM_BLD_push_BN");
  // Secure BIGNUMs land in a block that OSSL_PARAM_free clears.
  ossl::ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) platformFailure(kBuildHandle, "OSSL_PARAM_BLD_to_param");

  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx) platformFailure(kBuildHandle, "EVP_PKEY_CTX_new_from_name");
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_fromdata_init(ctx.get()) <= 0 || EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) <= 0)
    platformFailure(kBuildHandle, "EVP_PKEY_fromdata");
  return ossl::PkeyPtr(raw);
}

}  // namespace quillon

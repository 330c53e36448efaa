#include "support/OpenSslPeer.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace quillon::test {

ossl::PkeyPtr generateRsa(int bits) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  EXPECT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1 &&
              EVP_PKEY_keygen(ctx.get(), &key) == 1);
  return ossl::PkeyPtr(key);
}

ossl::PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
  const ossl::BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  const ossl::BnPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  ossl::ParamBldPtr bld(OSSL_PARAM_BLD_new());
  EXPECT_TRUE(bld && OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1);
  ossl::ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  EXPECT_TRUE(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) == 1);
  return ossl::PkeyPtr(key);
}

Bytes rsaComponent(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &raw), 1) << name;
  const ossl::BnPtr bn(raw);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(bn.get())));
  BN_bn2bin(bn.get(), out.data());
  return out;
}

Bytes rsaPrivateKeyDer(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int n = i2d_PrivateKey(key, &der);
  EXPECT_GT(n, 0);
  Bytes out(der, der + std::max(n, 0));
  OPENSSL_clear_free(der, static_cast<std::size_t>(std::max(n, 0)));
  return out;
}

Bytes sha256DigestInfo(std::string_view message) {
  Bytes info = fromHex("3031300d060960864801650304020105000420");
  unsigned char digest[32];
  EXPECT_EQ(EVP_Digest(message.data(), message.size(), digest, nullptr, EVP_sha256(), nullptr), 1);
  info.insert(info.end(), digest, digest + 32);
  return info;
}

bool verifyHash(EVP_PKEY* key, const char* digest, const Bytes& hash, const Bytes& signature) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(digest)) == 1 &&
         EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

Bytes pkcs1Type1Pad(const Bytes& data, std::size_t size) {
  Bytes block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(data.size()));
  return block;
}

Bytes rsaEncrypt(EVP_PKEY* key, const Bytes& plain, int padding) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  EXPECT_TRUE(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) == 1);
  if (padding == RSA_PKCS1_OAEP_PADDING) {
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()), 1);
  }
  Bytes out(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
  std::size_t length = out.size();
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()), 1);
  out.resize(length);
  return out;
}

Bytes tdesCbc(const Bytes& key, const Bytes& data, bool encrypt) {
  ossl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  const unsigned char iv[8] = {};
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.data(), iv, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(data.size() + 8);
  int n = 0, m = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m), 1);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

}  // namespace quillon::test

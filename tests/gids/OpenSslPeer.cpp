#include "OpenSslPeer.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "base/Hex.h"

namespace quillon::test {

Bytes fromHex(const std::string& text) {
  Bytes out;
  EXPECT_TRUE(hex::decode(text, out)) << text;
  return out;
}

std::string toHex(const Bytes& bytes) { return hex::encode(bytes); }

ossl::PkeyPtr generateRsa(int bits) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(EVP_PKEY_keygen_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits), 1);
  EXPECT_EQ(EVP_PKEY_keygen(ctx.get(), &key), 1);
  return ossl::PkeyPtr(key);
}

Bytes rsaPrivateKeyDer(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int n = i2d_PrivateKey(key, &der);
  EXPECT_GT(n, 0);
  Bytes out(der, der + n);
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  return out;
}

Bytes rsaModulus(EVP_PKEY* key) {
  BIGNUM* n = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, out.data());
  BN_free(n);
  return out;
}

ossl::PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
  ossl::BnPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  ossl::BnPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  ossl::ParamBldPtr bld(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
  ossl::ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  EXPECT_EQ(EVP_PKEY_fromdata_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()), 1);
  return ossl::PkeyPtr(key);
}

Bytes sha256DigestInfo(const std::string& message) {
  Bytes info = fromHex("3031300d060960864801650304020105000420");
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(message.data(), message.size(), digest, &length, EVP_sha256(), nullptr);
  info.insert(info.end(), digest, digest + length);
  return info;
}

Bytes pkcs1Type1Pad(const Bytes& data, std::size_t size) {
  Bytes block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), block.end() - static_cast<std::ptrdiff_t>(data.size()));
  return block;
}

bool verifySha256(EVP_PKEY* key, const std::string& message, const Bytes& signature) {
  ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

Bytes rsaPublicRaw(EVP_PKEY* key, const Bytes& block) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  EXPECT_EQ(EVP_PKEY_verify_recover_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING), 1);
  std::size_t length = 0;
  EXPECT_EQ(EVP_PKEY_verify_recover(ctx.get(), nullptr, &length, block.data(), block.size()), 1);
  Bytes out(length);
  EXPECT_EQ(EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, block.data(), block.size()), 1);
  out.resize(length);
  return out;
}

Bytes rsaEncrypt(EVP_PKEY* key, const Bytes& plain, int padding) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding), 1);
  if (padding == RSA_PKCS1_OAEP_PADDING) {
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()), 1);
  }
  std::size_t length = 0;
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &length, plain.data(), plain.size()), 1);
  Bytes out(length);
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

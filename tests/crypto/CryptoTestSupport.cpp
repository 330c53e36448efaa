#include "CryptoTestSupport.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "base/Hex.h"

namespace quillon::test {

Vectors loadVectors(const std::string& file) {
  const char* root = std::getenv("QUILLON_TEST_DATA");
  std::string path = std::string(root ? root : QUILLON_SOURCE_TEST_DATA) + "/crypto/" + file;
  std::ifstream in(path);
  if (!in) {
    path = std::string(QUILLON_SOURCE_TEST_DATA) + "/crypto/" + file;
    in.open(path);
  }
  if (!in) throw std::runtime_error("cannot open " + path);
  Vectors vectors;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) throw std::runtime_error("bad line in " + path + ": " + line);
    Bytes value;
    if (!hex::decode(line.substr(eq + 3), value)) throw std::runtime_error("bad hex in " + path + ": " + line);
    vectors[line.substr(0, eq)] = value;
  }
  return vectors;
}

ByteArray toArray(IJCRuntime& runtime, const Bytes& bytes) {
  ByteArray array(static_cast<std::uint16_t>(bytes.size()), runtime.persistentMemory(), JC_HERE("test::toArray"));
  if (!bytes.empty()) std::memcpy(array.data(), bytes.data(), bytes.size());
  return array;
}

Bytes toBytes(const ByteArray& array, std::size_t offset, std::size_t length) {
  array.checkRange(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length));
  return Bytes(array.data() + offset, array.data() + offset + length);
}

Bytes toBytes(const ByteArray& array) { return toBytes(array, 0, array.length()); }

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

ossl::PkeyPtr fromData(const std::vector<std::pair<const char*, const Bytes*>>& fields, int selection) {
  ossl::ParamBldPtr bld(OSSL_PARAM_BLD_new());
  std::vector<ossl::BnPtr> bns;
  for (const auto& [name, bytes] : fields) {
    bns.emplace_back(BN_bin2bn(bytes->data(), static_cast<int>(bytes->size()), nullptr));
    check(bns.back() && OSSL_PARAM_BLD_push_BN(bld.get(), name, bns.back().get()), name);
  }
  ossl::ParamsPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  check(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) > 0 &&
            EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) > 0,
        "EVP_PKEY_fromdata");
  return ossl::PkeyPtr(raw);
}

}  // namespace

ossl::PkeyPtr publicKeyOf(const Bytes& n, const Bytes& e) {
  return fromData({{OSSL_PKEY_PARAM_RSA_N, &n}, {OSSL_PKEY_PARAM_RSA_E, &e}}, EVP_PKEY_PUBLIC_KEY);
}

ossl::PkeyPtr privateKeyOf(const Vectors& v) {
  return fromData({{OSSL_PKEY_PARAM_RSA_N, &v.at("N")},
                   {OSSL_PKEY_PARAM_RSA_E, &v.at("E")},
                   {OSSL_PKEY_PARAM_RSA_D, &v.at("D")},
                   {OSSL_PKEY_PARAM_RSA_FACTOR1, &v.at("P")},
                   {OSSL_PKEY_PARAM_RSA_FACTOR2, &v.at("Q")},
                   {OSSL_PKEY_PARAM_RSA_EXPONENT1, &v.at("DP1")},
                   {OSSL_PKEY_PARAM_RSA_EXPONENT2, &v.at("DQ1")},
                   {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &v.at("PQ")}},
                  EVP_PKEY_KEYPAIR);
}

Bytes opensslSign(EVP_PKEY* key, const char* digest, const Bytes& hash) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
  std::size_t length = signature.size();
  check(ctx && EVP_PKEY_sign_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
            EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(digest)) > 0 &&
            EVP_PKEY_sign(ctx.get(), signature.data(), &length, hash.data(), hash.size()) > 0,
        "EVP_PKEY_sign");
  signature.resize(length);
  return signature;
}

bool opensslVerify(EVP_PKEY* key, const char* digest, const Bytes& hash, const Bytes& signature) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  check(ctx && EVP_PKEY_verify_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
            EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(digest)) > 0,
        "EVP_PKEY_verify_init");
  return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

Bytes opensslEncrypt(EVP_PKEY* key, int padding, const Bytes& plain) {
  ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  check(ctx && EVP_PKEY_encrypt_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) > 0,
        "EVP_PKEY_encrypt_init");
  if (padding == RSA_PKCS1_OAEP_PADDING)
    check(EVP_PKEY_CTX_set_rsa_oaep_md_name(ctx.get(), "SHA1", nullptr) > 0, "oaep md");
  Bytes out(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
  std::size_t length = out.size();
  check(EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain.data(), plain.size()) > 0, "EVP_PKEY_encrypt");
  out.resize(length);
  return out;
}

Bytes publicOperation(EVP_PKEY* key, const Bytes& signature) { return opensslEncrypt(key, RSA_NO_PADDING, signature); }

void* ProbeRuntime::allocatePersistent(std::uint64_t size, const char* sourceFile, const char* functionName,
                                       std::uint32_t line) {
  if (remaining_ == 0) return nullptr;
  if (remaining_ > 0) --remaining_;
  void* p = JCRuntimeImpl::allocatePersistent(size, sourceFile, functionName, line);
  if (p != nullptr) live_[p] = Block{size, functionName};
  return p;
}

void ProbeRuntime::freePersistent(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) {
  if (const auto it = live_.find(pointer); it != live_.end()) {
    const auto* bytes = static_cast<const std::uint8_t*>(pointer);
    if (std::any_of(bytes, bytes + it->second.size, [](std::uint8_t b) { return b != 0; }))
      unwiped_.push_back(it->second.function);
    freed_.push_back(it->second.function);
    live_.erase(it);
  }
  JCRuntimeImpl::freePersistent(pointer, sourceFile, functionName, line);
}

}  // namespace quillon::test

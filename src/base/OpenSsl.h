// Shared plumbing for code that calls OpenSSL: one owning pointer type per handle,
// a buffer type that wipes itself, and the tracing of a failed call together with
// OpenSSL's error queue. Each layer then throws or returns what it reports with.
#pragma once

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace quillon::ossl {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using MacPtr = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC_free>>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

// An allocator whose storage is wiped before it goes back to the heap.
template <class T>
struct CleansingAllocator {
  using value_type = T;
  CleansingAllocator() noexcept = default;
  template <class U>
  CleansingAllocator(const CleansingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const CleansingAllocator<U>&) const noexcept {
    return true;
  }
};

// Bytes that hold secrets: PINs, keys, key components, decrypted payloads, and
// the text of any of them (the one wiped type for both).
using SecureBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// The bytes as characters, for secrets held as text.
inline char* chars(SecureBytes& bytes) noexcept { return reinterpret_cast<char*>(bytes.data()); }
inline const char* chars(const SecureBytes& bytes) noexcept { return reinterpret_cast<const char*>(bytes.data()); }

// Traces "<call> failed: <OpenSSL error text>" at `level` under `function` for
// every entry of the thread's error queue, and empties the queue.
void traceErrors(const char* function, const char* call, std::uint8_t level);

}  // namespace quillon::ossl

// Shared pieces of the crypto tests: known-answer vectors from tests/data/crypto,
// conversions between byte vectors and card arrays, reference OpenSSL keys, and a
// runtime that can refuse blocks and checks that key material is wiped.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/OpenSsl.h"
#include "jc/Exceptions.h"
#include "jc/JCArray.h"
#include "jc/JCRuntimeImpl.h"

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;
using Vectors = std::map<std::string, Bytes>;

// The `Name = hex` lines of $QUILLON_TEST_DATA/crypto/<file> (or of the source
// tree's tests/data/crypto/<file>); '#' lines are comments.
Vectors loadVectors(const std::string& file);

ByteArray toArray(IJCRuntime& runtime, const Bytes& bytes);
Bytes toBytes(const ByteArray& array, std::size_t offset, std::size_t length);
Bytes toBytes(const ByteArray& array);

// OpenSSL keys of n, e (public) or of every component of the vectors (private).
ossl::PkeyPtr publicKeyOf(const Bytes& n, const Bytes& e);
ossl::PkeyPtr privateKeyOf(const Vectors& v);

// OpenSSL's own operations, for what the card produced or consumes.
Bytes opensslSign(EVP_PKEY* key, const char* digest, const Bytes& hash);
bool opensslVerify(EVP_PKEY* key, const char* digest, const Bytes& hash, const Bytes& signature);
Bytes opensslEncrypt(EVP_PKEY* key, int padding, const Bytes& plain);
// s^e mod n, as many bytes as the modulus.
Bytes publicOperation(EVP_PKEY* key, const Bytes& signature);

// Runs f and checks the reason of the CryptoException or SystemException it raises.
template <class F>
void expectReason(F&& f, std::uint16_t reason) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const CryptoException& e) {
    EXPECT_EQ(e.getReason(), reason) << "CryptoException";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.getReason(), reason) << "SystemException";
  }
}

// A runtime that refuses blocks on request and records, for every block handed
// back, whether its bytes were all zero by then.
class ProbeRuntime : public JCRuntimeImpl {
 public:
  using JCRuntimeImpl::allocatePersistent;
  using JCRuntimeImpl::freePersistent;

  // The next `successes` allocations succeed, every later one returns null.
  void refuseAfter(int successes) { remaining_ = successes; }
  void allowAll() { remaining_ = -1; }

  void* allocatePersistent(std::uint64_t size, const char* sourceFile, const char* functionName,
                           std::uint32_t line) override;
  void freePersistent(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) override;

  // Allocating functions of blocks that went back with non-zero content.
  const std::vector<std::string>& unwipedFrees() const { return unwiped_; }
  // Allocating functions of every block handed back, in order.
  const std::vector<std::string>& freedFrom() const { return freed_; }

 private:
  struct Block {
    std::uint64_t size;
    std::string function;
  };
  int remaining_ = -1;
  std::map<void*, Block> live_;
  std::vector<std::string> unwiped_;
  std::vector<std::string> freed_;
};

}  // namespace quillon::test

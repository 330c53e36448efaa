// An RSA public key of the card: modulus and exponent as big-endian arrays of the
// runtime's persistent memory. The object itself lives in a persistent block and
// is destroyed by whoever holds it (its key pair, or the caller of buildKey).
#pragma once

#include <cstdint>

#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"
#include "jc/Key.h"

namespace quillon {

class CNGRSAPublicKey final : public RSAPublicKey {
 public:
  CNGRSAPublicKey(IJCRuntime& runtime, std::uint16_t bits) noexcept;
  ~CNGRSAPublicKey() override = default;
  CNGRSAPublicKey(const CNGRSAPublicKey&) = delete;
  CNGRSAPublicKey& operator=(const CNGRSAPublicKey&) = delete;

  std::uint16_t getSize() override { return size_; }
  bool isInitialized() override { return modulus_.length() > 0 && exponent_.length() > 0; }
  void clearKey() override;

  // The modulus also sets the size: 8 bits per byte.
  void setModulus(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  void setExponent(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  std::uint16_t getModulus(ByteArray& buffer, std::uint16_t offset) override;
  std::uint16_t getExponent(ByteArray& buffer, std::uint16_t offset) override;

  // For the state document, which writes the fields as they are and replaces them
  // on loading (a replacement leaves the size alone).
  const ByteArray& modulus() const noexcept { return modulus_; }
  const ByteArray& exponent() const noexcept { return exponent_; }
  void replaceModulus(ByteArray&& value) noexcept;
  void replaceExponent(ByteArray&& value) noexcept;
  void setSize(std::uint16_t bits) noexcept {
    size_ = bits;
    runtime_.noteStateChange();
  }
  IJCRuntime& runtime() const noexcept { return runtime_; }

  // Changes with every change of modulus or exponent, and differs between any two
  // keys of the process: what an OpenSSL key built from them was built from.
  std::uint64_t revision() const noexcept { return revision_; }

 private:
  void touch() noexcept;

  ByteArray modulus_;
  ByteArray exponent_;
  std::uint16_t size_;
  IJCRuntime& runtime_;
  std::uint64_t revision_;
};

}  // namespace quillon

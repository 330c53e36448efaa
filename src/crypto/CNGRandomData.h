// The card's source of random bytes, on OpenSSL's DRBG. The runtime holds the one
// instance and lends it out; users never destroy it.
#pragma once

#include <cstdint>

#include "jc/Cipher.h"

namespace quillon {

class CNGRandomData final : public RandomData {
 public:
  // Makes sure the generator is seeded and usable; CryptoException PLATFORM_ERROR
  // (traced) when it is not.
  CNGRandomData();
  ~CNGRandomData() override = default;
  CNGRandomData(const CNGRandomData&) = delete;
  CNGRandomData& operator=(const CNGRandomData&) = delete;

  // Seeds are ignored: the generator seeds itself from the system.
  void setSeed(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  // CryptoException ILLEGAL_VALUE when the range lies outside buffer,
  // PLATFORM_ERROR when the generator fails.
  void generateData(ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
};

}  // namespace quillon

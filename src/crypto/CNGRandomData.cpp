#include "crypto/CNGRandomData.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include "crypto/CryptoInternal.h"
#include "jc/Exceptions.h"

namespace quillon {

CNGRandomData::CNGRandomData() {
  if (RAND_status() != 1) crypto_internal::platformFailure("CNGRandomData::CNGRandomData", "RAND_status");
}

void CNGRandomData::setSeed(const ByteArray&, std::uint16_t, std::uint16_t) {}

void CNGRandomData::generateData(ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  if (std::uint32_t{offset} + length > buffer.length()) CryptoException::throwIt(CryptoException::ILLEGAL_VALUE);
  if (length == 0) return;
  if (RAND_bytes(buffer.data() + offset, length) != 1) {
    ERR_clear_error();  // reported by the exception alone
    CryptoException::throwIt(CryptoException::PLATFORM_ERROR);
  }
}

}  // namespace quillon

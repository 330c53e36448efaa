#include "crypto/CryptoInternal.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "base/OpenSsl.h"
#include "base/Trace.h"
#include "jc/Exceptions.h"
#include "jc/IJCRuntime.h"

namespace quillon::crypto_internal {

ByteArray copyIn(IJCRuntime& runtime, const ByteArray& buffer, std::uint16_t offset, std::uint16_t length,
                 const SourceLocation& where) {
  buffer.checkRange(offset, length);
  ByteArray result(length, runtime.persistentMemory(), where);
  if (length > 0) std::memcpy(result.data(), buffer.data() + offset, length);
  return result;
}

std::uint16_t copyOut(const ByteArray& component, ByteArray& buffer, std::uint16_t offset) {
  const std::uint16_t length = component.length();
  if (length == 0) return 0;
  buffer.checkRange(offset, length);
  std::memmove(buffer.data() + offset, component.data(), length);
  buffer.noteWrite();
  return length;
}

void wipe(ByteArray& array) noexcept {
  if (array.length() > 0) OPENSSL_cleanse(array.data(), array.length());
}

void replaceWiped(ByteArray& target, ByteArray&& value) noexcept {
  wipe(target);
  target = std::move(value);
}

std::uint64_t nextRevision() noexcept {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void platformFailure(const char* function, const char* call) {
  ossl::traceErrors(function, call, trace::kCritical);
  CryptoException::throwIt(CryptoException::PLATFORM_ERROR);
}

}  // namespace quillon::crypto_internal

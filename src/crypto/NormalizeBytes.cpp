#include "crypto/NormalizeBytes.h"

#include <cstring>

#include "jc/IJCRuntime.h"

namespace quillon {

ByteArray normalizeBytes(IJCRuntime& runtime, const ByteArray& source, std::uint16_t length) {
  // A scratch copy, no part of the stored card.
  ByteArray result(length, runtime.workingMemory(), JC_HERE("normalizeBytes"));
  const std::uint16_t sourceLength = source.length();
  if (sourceLength == 0 || length == 0) return result;

  std::uint16_t first = 0;
  while (first < sourceLength - 1 && source.data()[first] == 0) ++first;
  const std::uint16_t significant = sourceLength - first;
  if (significant < length)
    std::memcpy(result.data() + (length - significant), source.data() + first, significant);
  else
    std::memcpy(result.data(), source.data() + (sourceLength - length), length);
  return result;
}

}  // namespace quillon

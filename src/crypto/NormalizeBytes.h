// Fits an unsigned big-endian integer to a fixed width, as the private key needs
// each CRT component at exactly half the modulus length. The result is a new
// array of the runtime's working memory (a scratch copy), owned by the caller.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon {

class IJCRuntime;

// Exactly length bytes holding source's value: leading zero bytes of source are
// skipped (never its last byte), a shorter value is padded with zeros in front and
// a longer one loses its leading bytes. An empty source gives length zero bytes.
ByteArray normalizeBytes(IJCRuntime& runtime, const ByteArray& source, std::uint16_t length);

}  // namespace quillon

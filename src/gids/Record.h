// One data object of a data-object file, stored whole: tag, length field and value.
// The record owns its bytes; the file owns its records.
#pragma once

#include <cstdint>

#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"

namespace quillon {

class Record {
 public:
  // A zero-filled object of `size` bytes from persistent memory (none for 0).
  Record(IJCRuntime& runtime, std::uint16_t size);

  IJCRuntime& runtime;
  ByteArray data;
};

}  // namespace quillon

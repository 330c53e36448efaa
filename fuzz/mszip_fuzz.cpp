// A compressed payload from a hostile container: decoded, or refused.
#include <cstddef>
#include <cstdint>

#include "container/CabinetCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillon::ossl::SecureBytes out;
  quillon::container::CabinetDecompress(data, size, out);
  return 0;
}

// Compression of the container's payload into the MSZIP buffer format and back,
// with the status codes and trace lines the container layer reports. Both
// functions return an HRESULT (0 on success); `out` is cleared first, owned by
// the caller, and left empty on failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/OpenSsl.h"
#include "runtime/StateLimits.h"

namespace quillon::container {

class MszipDecoder;
class MszipEncoder;

// Largest uncompressed payload that CabinetDecompress accepts.
inline constexpr std::size_t kDecompressedCap = limits::kMaxDocumentBytes;

std::uint32_t CabinetCompress(const std::uint8_t* data, std::size_t size, ossl::SecureBytes& out);
// The same with the caller's encoder, which is wiped afterwards (a card keeps
// one for all its saves).
std::uint32_t CabinetCompress(MszipEncoder& encoder, const std::uint8_t* data, std::size_t size,
                              ossl::SecureBytes& out);

// The buffer is untrusted: the header's total is capped before any allocation
// (0x800700DF above kDecompressedCap) and a malformed buffer gives 0x8007025D.
std::uint32_t CabinetDecompress(const std::uint8_t* data, std::size_t size, ossl::SecureBytes& out);
std::uint32_t CabinetDecompress(MszipDecoder& decoder, const std::uint8_t* data, std::size_t size,
                                ossl::SecureBytes& out);

}  // namespace quillon::container

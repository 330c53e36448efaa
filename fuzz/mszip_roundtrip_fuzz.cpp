// Any payload compressed into the container's MSZIP format must decompress to
// itself. The first input byte shapes the run: its low nibble r repeats the rest
// 1 + 2·r times (at most 96 KiB: payloads span up to three 32 KiB chunks and the
// history they share), its high nibble b, when not 0, lowers the encoder's
// per-chunk deflate budget to 2 KiB·b so that chunks fall back to stored blocks.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Invariant.h"
#include "container/CabinetCodec.h"
#include "container/MszipEncoder.h"

using namespace quillon;

namespace {

constexpr std::size_t kMaxPayload = 98304;

// One encoder per budget, kept across inputs: setting up a deflate stream costs
// more than encoding a small payload, and every chunk resets the stream anyway.
container::MszipEncoder& encoderFor(std::size_t budgetStep) {
  static std::array<std::unique_ptr<container::MszipEncoder>, 16> encoders;
  auto& encoder = encoders[budgetStep];
  if (!encoder)
    encoder = std::make_unique<container::MszipEncoder>(budgetStep == 0 ? container::MszipEncoder::kDeflateBudget
                                                                        : 2048 * budgetStep);
  return *encoder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t repeat = 1 + 2 * static_cast<std::size_t>(data[0] & 0x0F);
  const std::size_t copies = size == 1 ? 1 : std::min(repeat, std::max<std::size_t>(1, kMaxPayload / (size - 1)));
  std::vector<std::uint8_t> payload;
  payload.reserve(copies * (size - 1));
  for (std::size_t i = 0; i < copies; ++i) payload.insert(payload.end(), data + 1, data + size);

  container::MszipEncoder& encoder = encoderFor(data[0] >> 4);
  std::vector<std::uint8_t> compressed(container::MszipEncoder::bound(payload.size()));
  std::size_t written = 0;
  if (encoder.encode(payload.data(), payload.size(), compressed.data(), compressed.size(), written) !=
      container::mszip::Error::kNone)
    fuzz::fail("encoding failed");
  ossl::SecureBytes decoded;
  if (container::CabinetDecompress(compressed.data(), written, decoded) != 0) fuzz::fail("decoding failed");
  if (!std::equal(decoded.begin(), decoded.end(), payload.begin(), payload.end()))
    fuzz::fail("decoded payload differs");
  return 0;
}

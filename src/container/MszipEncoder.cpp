#include "container/MszipEncoder.h"

#include <algorithm>
#include <limits>

namespace quillon::container {

using mszip::Error;

namespace {

constexpr int kLevel = 6;
constexpr std::size_t kChunkFraming = mszip::kLengthBytes + 2;  // LEN and "CK"

Error zlibError(int result) noexcept { return result == Z_MEM_ERROR ? Error::kOutOfMemory : Error::kZlibFailure; }

}  // namespace

MszipEncoder::MszipEncoder(std::size_t deflateBudget) noexcept
    : deflater_(kLevel), deflateBudget_(std::min(deflateBudget, kDeflateBudget)) {}

MszipEncoder::~MszipEncoder() = default;

Error MszipEncoder::encode(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t capacity,
                           std::size_t& written) noexcept {
  written = 0;
  if (deflater_.initResult() != Z_OK) return zlibError(deflater_.initResult());
  if (out == nullptr || (data == nullptr && size != 0)) return Error::kOutputSize;
  const std::size_t needed = bound(size);
  if (needed == 0 || capacity < needed) return Error::kOutputSize;

  mszip::writeHeader(size, out);
  std::size_t pos = mszip::kHeaderSize;
  for (std::size_t offset = 0; offset < size; offset += mszip::kChunkSize) {
    const std::size_t chunkSize = std::min(mszip::kChunkSize, size - offset);
    std::uint8_t* const chunkOut = out + pos + kChunkFraming;

    // Each chunk is a stream of its own, with up to a chunk of history.
    const std::size_t history = std::min(offset, mszip::kChunkSize);
    std::size_t delivered = 0;
    const int rc = deflater_.compress(data + offset - history, history, data + offset, chunkSize, chunkOut,
                                      deflateBudget_, delivered);

    std::size_t deflateBytes;
    if (rc == Z_STREAM_END) {
      deflateBytes = delivered;
    } else if (rc == Z_OK || rc == Z_BUF_ERROR) {  // out of budget: the chunk would grow
      const Error e = storeChunk(data + offset, chunkSize, chunkOut, deflateBytes);
      if (e != Error::kNone) return e;
    } else {
      return zlibError(rc);
    }
    mszip::storeLe32(static_cast<std::uint32_t>(deflateBytes + 2), out + pos);
    out[pos + 4] = 'C';
    out[pos + 5] = 'K';
    pos += kChunkFraming + deflateBytes;
  }
  written = pos;
  return Error::kNone;
}

Error MszipEncoder::storeChunk(const std::uint8_t* chunk, std::size_t size, std::uint8_t* out,
                               std::size_t& deflateBytes) noexcept {
  deflateBytes = 0;
  if (!storer_) storer_.emplace(0);
  if (storer_->initResult() != Z_OK) return zlibError(storer_->initResult());
  // Stored blocks need no history; one block of at most 32 KiB plus 5 bytes of framing.
  const int rc = storer_->compress(nullptr, 0, chunk, size, out, kDeflateBudget, deflateBytes);
  if (rc != Z_STREAM_END) return zlibError(rc);
  return Error::kNone;
}

}  // namespace quillon::container

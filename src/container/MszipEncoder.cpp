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
  z_stream& z = deflater_.get();
  for (std::size_t offset = 0; offset < size; offset += mszip::kChunkSize) {
    const std::size_t chunkSize = std::min(mszip::kChunkSize, size - offset);
    std::uint8_t* const chunkOut = out + pos + kChunkFraming;

    int rc = deflateReset(&z);
    if (rc == Z_OK && offset > 0) {
      const std::size_t history = std::min(offset, mszip::kChunkSize);
      rc = deflateSetDictionary(&z, data + offset - history, static_cast<uInt>(history));
    }
    if (rc != Z_OK) return zlibError(rc);
    z.next_in = data + offset;
    z.avail_in = static_cast<uInt>(chunkSize);
    z.next_out = chunkOut;
    z.avail_out = static_cast<uInt>(deflateBudget_);
    rc = deflate(&z, Z_FINISH);

    std::size_t deflateBytes;
    if (rc == Z_STREAM_END) {
      deflateBytes = deflateBudget_ - z.avail_out;
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
  z_stream& z = storer_->get();
  int rc = deflateReset(&z);
  if (rc != Z_OK) return zlibError(rc);
  // Stored blocks need no history; one block of at most 32 KiB plus 5 bytes of framing.
  z.next_in = chunk;
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(kDeflateBudget);
  rc = deflate(&z, Z_FINISH);
  if (rc != Z_STREAM_END) return zlibError(rc);
  deflateBytes = kDeflateBudget - z.avail_out;
  return Error::kNone;
}

}  // namespace quillon::container

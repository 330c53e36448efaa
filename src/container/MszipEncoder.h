// Writes the MSZIP buffer of MszipFormat.h with zlib raw deflate (level 6,
// memLevel 9), handing each chunk the previous 32 KiB as its dictionary. A chunk
// whose deflate data would not fit its budget is written as stored blocks.
// The caller owns the output buffer; bound() says how large it must be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "container/MszipFormat.h"
#include "container/ZlibStream.h"

namespace quillon::container {

class MszipEncoder {
 public:
  // Deflate data allowed per chunk before the chunk falls back to stored blocks
  // ("CK" takes the other 2 bytes of kMaxChunkBytes). Tests lower it.
  static constexpr std::size_t kDeflateBudget = mszip::kMaxChunkBytes - 2;

  explicit MszipEncoder(std::size_t deflateBudget = kDeflateBudget) noexcept;
  ~MszipEncoder();
  MszipEncoder(const MszipEncoder&) = delete;
  MszipEncoder& operator=(const MszipEncoder&) = delete;

  // zlib's result of setting up the deflate stream; nothing can be encoded unless Z_OK.
  int initResult() const noexcept { return deflater_.initResult(); }

  // Largest buffer that `size` input bytes can encode to; 0 when that overflows.
  // Chunks that would not compress are stored, so this holds for any input.
  static constexpr std::size_t bound(std::size_t size) noexcept {
    const std::size_t chunks = size / mszip::kChunkSize + (size % mszip::kChunkSize != 0);
    constexpr std::size_t perChunk = mszip::kLengthBytes + mszip::kMaxChunkBytes;
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    if (chunks > (max - mszip::kHeaderSize) / perChunk) return 0;
    return mszip::kHeaderSize + chunks * perChunk;
  }

  // Encodes into out[0..capacity), which must hold bound(size) bytes; `written`
  // receives the buffer's length.
  mszip::Error encode(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t capacity,
                      std::size_t& written) noexcept;

  // Wipes what the streams hold of the last input; the encoder is then as new.
  void wipe() noexcept {
    deflater_.wipe();
    if (storer_) storer_->wipe();
  }

 private:
  // Writes the chunk as stored blocks; returns the deflate bytes written.
  mszip::Error storeChunk(const std::uint8_t* chunk, std::size_t size, std::uint8_t* out,
                          std::size_t& deflateBytes) noexcept;

  DeflateStream deflater_;
  std::optional<DeflateStream> storer_;  // set up on first use
  std::size_t deflateBudget_;
};

}  // namespace quillon::container

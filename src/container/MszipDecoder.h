// Reads the MSZIP buffer of MszipFormat.h, which is hostile input: every field,
// length and chunk is checked, and a malformed buffer gives an mszip::Error.
// The caller reads the header first (mszip::readHeader), caps its total, and
// owns the output buffer of exactly that many bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "container/MszipFormat.h"
#include "container/ZlibStream.h"

namespace quillon::container {

class MszipDecoder {
 public:
  MszipDecoder() noexcept = default;

  // zlib's result of setting up the inflate stream; nothing can be decoded unless Z_OK.
  int initResult() const noexcept { return inflater_.initResult(); }

  // Decodes the whole buffer into out[0..total), total being the header's total.
  // On failure out holds partial data that the caller must discard.
  mszip::Error decode(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t total) noexcept;

  // Wipes what the stream holds of the last output; the decoder is then as new.
  void wipe() noexcept { inflater_.wipe(); }

 private:
  // Inflates one chunk's deflate data into out[0..expected), with `history`
  // bytes of earlier output in front of out as its dictionary.
  mszip::Error inflateChunk(const std::uint8_t* deflate, std::size_t deflateBytes, std::uint8_t* out,
                            std::size_t expected, std::size_t history) noexcept;

  InflateStream inflater_;
};

}  // namespace quillon::container

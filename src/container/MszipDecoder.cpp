#include "container/MszipDecoder.h"

#include <algorithm>

namespace quillon::container {

using mszip::Error;

namespace {

Error zlibError(int result) noexcept {
  switch (result) {
    case Z_MEM_ERROR: return Error::kOutOfMemory;
    case Z_DATA_ERROR:
    case Z_NEED_DICT: return Error::kCorruptDeflate;
    default: return Error::kZlibFailure;
  }
}

}  // namespace

Error MszipDecoder::decode(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t total) noexcept {
  if (inflater_.initResult() != Z_OK) return zlibError(inflater_.initResult());
  std::uint64_t declared;
  if (const Error e = mszip::readHeader(data, size, declared); e != Error::kNone) return e;
  if (declared != total || (out == nullptr && total != 0)) return Error::kOutputSize;

  std::size_t pos = mszip::kHeaderSize;
  std::size_t produced = 0;
  // Every pass consumes at least 6 bytes of input, so the loop ends with the buffer.
  while (pos < size) {
    if (produced == total) return Error::kTrailingBytes;
    if (size - pos < mszip::kLengthBytes) return Error::kTruncatedLength;
    const std::uint32_t length = mszip::loadLe32(data + pos);
    pos += mszip::kLengthBytes;
    if (length < 2) return Error::kLengthTooSmall;
    if (length > size - pos) return Error::kLengthBeyondBuffer;
    if (data[pos] != 'C' || data[pos + 1] != 'K') return Error::kMissingSignature;

    const std::size_t expected = std::min(mszip::kChunkSize, total - produced);
    const std::size_t history = std::min(produced, mszip::kChunkSize);
    const Error e = inflateChunk(data + pos + 2, length - 2, out + produced, expected, history);
    if (e != Error::kNone) return e;
    pos += length;
    produced += expected;
  }
  return produced == total ? Error::kNone : Error::kTotalMismatch;
}

Error MszipDecoder::inflateChunk(const std::uint8_t* deflate, std::size_t deflateBytes, std::uint8_t* out,
                                 std::size_t expected, std::size_t history) noexcept {
  z_stream& z = inflater_.get();
  int rc = inflateReset(&z);
  if (rc == Z_OK && history > 0) rc = inflateSetDictionary(&z, out - history, static_cast<uInt>(history));
  if (rc != Z_OK) return zlibError(rc);

  z.next_in = deflate;
  z.avail_in = static_cast<uInt>(deflateBytes);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(expected);
  rc = inflate(&z, Z_FINISH);
  if (rc == Z_STREAM_END) {
    if (z.avail_out != 0) return Error::kChunkTooShort;
    if (z.avail_in != 0) return Error::kDataAfterStream;
    return Error::kNone;
  }
  if (rc != Z_BUF_ERROR && rc != Z_OK) return zlibError(rc);
  if (z.avail_in == 0) return Error::kStreamNotEnded;

  // Output is full but input remains: see whether the stream really has more to give.
  std::uint8_t probe;
  z.next_out = &probe;
  z.avail_out = 1;
  rc = inflate(&z, Z_NO_FLUSH);
  if (z.avail_out == 0) return Error::kChunkTooLong;
  return rc == Z_DATA_ERROR ? Error::kCorruptDeflate : Error::kStreamNotEnded;
}

}  // namespace quillon::container

// The MSZIP buffer that the container's compressed payload uses: a 24-byte
// header (magic, header size, check byte, algorithm, total and chunk sizes)
// followed by chunks of LEN, "CK" and one raw deflate stream for 32 KiB of data,
// history carried from chunk to chunk. Constants, error kinds and header helpers
// shared by MszipEncoder and MszipDecoder. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::container::mszip {

inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kChunkSize = 32768;                // uncompressed bytes per chunk
inline constexpr std::size_t kMaxChunkBytes = kChunkSize + 12;  // "CK" + deflate data of one chunk
inline constexpr std::size_t kLengthBytes = 4;                  // the LEN field in front of each chunk
inline constexpr std::uint8_t kAlgorithm = 2;
inline constexpr std::uint8_t kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};

enum class Error {
  kNone,
  kOutOfMemory,
  kZlibFailure,  // zlib refused a call our own arguments should satisfy
  kOutputSize,   // the caller's output buffer does not match
  kTruncatedHeader,
  kBadMagic,
  kBadHeaderSize,
  kBadAlgorithm,
  kBadCheckByte,
  kBadChunkSize,
  kTruncatedLength,  // fewer than 4 bytes left where a LEN is due
  kLengthTooSmall,   // LEN < 2
  kLengthBeyondBuffer,
  kMissingSignature,  // chunk does not start with "CK"
  kCorruptDeflate,
  kChunkTooShort,    // stream ended before the chunk's expected size
  kChunkTooLong,     // stream goes on past the chunk's expected size
  kStreamNotEnded,   // chunk data ran out before the final deflate block ended
  kDataAfterStream,  // bytes left in the chunk after its deflate stream ended
  kTrailingBytes,    // bytes after the chunk that completes the total
  kTotalMismatch,    // the chunks end before the header's total is reached
};

// A short English description of an error, for trace lines.
const char* describe(Error error) noexcept;

// The low 8 bits of CRC-32 over header bytes 0..5 and 7..23.
std::uint8_t checkByte(const std::uint8_t* header) noexcept;

// Writes the 24-byte header of a buffer holding `total` uncompressed bytes.
void writeHeader(std::uint64_t total, std::uint8_t* header) noexcept;

// Checks the header of `data` (magic, header size, algorithm, check byte, chunk
// size) and gives the header's total, which is untrusted: cap it before use.
Error readHeader(const std::uint8_t* data, std::size_t size, std::uint64_t& total) noexcept;

inline std::uint32_t loadLe32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t loadLe64(const std::uint8_t* p) noexcept {
  return static_cast<std::uint64_t>(loadLe32(p)) | static_cast<std::uint64_t>(loadLe32(p + 4)) << 32;
}

inline void storeLe32(std::uint32_t value, std::uint8_t* p) noexcept {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void storeLe64(std::uint64_t value, std::uint8_t* p) noexcept {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace quillon::container::mszip

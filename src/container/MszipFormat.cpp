#include "container/MszipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace quillon::container::mszip {
namespace {

constexpr std::size_t kCheckByteOffset = 6;
constexpr std::size_t kAlgorithmOffset = 7;

}  // namespace

const char* describe(Error error) noexcept {
  switch (error) {
    case Error::kNone: return "no error";
    case Error::kOutOfMemory: return "out of memory";
    case Error::kZlibFailure: return "zlib failure";
    case Error::kOutputSize: return "output buffer does not match";
    case Error::kTruncatedHeader: return "header truncated";
    case Error::kBadMagic: return "bad magic";
    case Error::kBadHeaderSize: return "header size is not 24";
    case Error::kBadAlgorithm: return "algorithm is not MSZIP";
    case Error::kBadCheckByte: return "check byte mismatch";
    case Error::kBadChunkSize: return "chunk size does not match the total";
    case Error::kTruncatedLength: return "chunk length truncated";
    case Error::kLengthTooSmall: return "chunk length below 2";
    case Error::kLengthBeyondBuffer: return "chunk extends past the buffer";
    case Error::kMissingSignature: return "chunk does not start with CK";
    case Error::kCorruptDeflate: return "corrupt deflate data";
    case Error::kChunkTooShort: return "chunk inflates to fewer bytes than expected";
    case Error::kChunkTooLong: return "chunk inflates to more bytes than expected";
    case Error::kStreamNotEnded: return "deflate stream does not end inside its chunk";
    case Error::kDataAfterStream: return "bytes after the deflate stream inside a chunk";
    case Error::kTrailingBytes: return "bytes after the last chunk";
    case Error::kTotalMismatch: return "chunks end before the total size";
  }
  return "unknown error";
}

std::uint8_t checkByte(const std::uint8_t* header) noexcept {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, header, kCheckByteOffset);
  crc = crc32(crc, header + kAlgorithmOffset, kHeaderSize - kAlgorithmOffset);
  return static_cast<std::uint8_t>(crc & 0xFF);
}

void writeHeader(std::uint64_t total, std::uint8_t* header) noexcept {
  std::memcpy(header, kMagic, sizeof kMagic);
  header[4] = static_cast<std::uint8_t>(kHeaderSize);
  header[5] = 0;
  header[kAlgorithmOffset] = kAlgorithm;
  storeLe64(total, header + 8);
  storeLe64(std::min<std::uint64_t>(total, kChunkSize), header + 16);
  header[kCheckByteOffset] = checkByte(header);
}

Error readHeader(const std::uint8_t* data, std::size_t size, std::uint64_t& total) noexcept {
  total = 0;
  if (data == nullptr || size < kHeaderSize) return Error::kTruncatedHeader;
  if (std::memcmp(data, kMagic, sizeof kMagic) != 0) return Error::kBadMagic;
  if (data[4] != kHeaderSize || data[5] != 0) return Error::kBadHeaderSize;
  if (data[kAlgorithmOffset] != kAlgorithm) return Error::kBadAlgorithm;
  if (data[kCheckByteOffset] != checkByte(data)) return Error::kBadCheckByte;
  const std::uint64_t declared = loadLe64(data + 8);
  if (loadLe64(data + 16) != std::min<std::uint64_t>(declared, kChunkSize)) return Error::kBadChunkSize;
  total = declared;
  return Error::kNone;
}

}  // namespace quillon::container::mszip

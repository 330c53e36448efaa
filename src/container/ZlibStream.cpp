#include "container/ZlibStream.h"

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quillon::container {
namespace {

// Each block carries its size in front so that it can be wiped on release.
constexpr std::size_t kPrefix = alignof(std::max_align_t);

voidpf wipingAlloc(voidpf, uInt items, uInt size) {
  if (size != 0 && items > (SIZE_MAX - kPrefix) / size) return Z_NULL;
  const std::size_t bytes = static_cast<std::size_t>(items) * size;
  auto* block = static_cast<unsigned char*>(std::malloc(bytes + kPrefix));
  if (block == nullptr) return Z_NULL;
  std::memcpy(block, &bytes, sizeof bytes);
  return block + kPrefix;
}

void wipingFree(voidpf, voidpf address) {
  if (address == Z_NULL) return;
  auto* block = static_cast<unsigned char*>(address) - kPrefix;
  std::size_t bytes;
  std::memcpy(&bytes, block, sizeof bytes);
  OPENSSL_cleanse(address, bytes);
  std::free(block);
}

void useWipingAllocator(z_stream& stream) {
  stream.zalloc = wipingAlloc;
  stream.zfree = wipingFree;
  stream.opaque = Z_NULL;
}

constexpr int kRawWindowBits = -15;
constexpr int kMemLevel = 9;

}  // namespace

DeflateStream::DeflateStream(int level) noexcept {
  useWipingAllocator(stream_);
  init_ = deflateInit2(&stream_, level, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
}

DeflateStream::~DeflateStream() {
  if (init_ == Z_OK) deflateEnd(&stream_);
}

InflateStream::InflateStream() noexcept {
  useWipingAllocator(stream_);
  init_ = inflateInit2(&stream_, kRawWindowBits);
}

InflateStream::~InflateStream() {
  if (init_ == Z_OK) inflateEnd(&stream_);
}

}  // namespace quillon::container

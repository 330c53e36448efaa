#include "container/ZlibStream.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quillon::container {
namespace {

voidpf wipingAlloc(voidpf opaque, uInt items, uInt size) {
  auto& blocks = *static_cast<ZlibBlocks*>(opaque);
  if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i) {
    if (blocks.address[i] != nullptr) continue;
    const std::size_t bytes = static_cast<std::size_t>(items) * size;
    void* block = std::malloc(bytes);
    if (block == nullptr) return Z_NULL;
    blocks.address[i] = block;
    blocks.size[i] = bytes;
    return block;
  }
  return Z_NULL;
}

void wipingFree(voidpf opaque, voidpf address) {
  if (address == Z_NULL) return;
  auto& blocks = *static_cast<ZlibBlocks*>(opaque);
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i) {
    if (blocks.address[i] != address) continue;
    OPENSSL_cleanse(address, blocks.size[i]);
    blocks.address[i] = nullptr;
    blocks.size[i] = 0;
    std::free(address);
    return;
  }
}

void useWipingAllocator(z_stream& stream, ZlibBlocks& blocks) {
  stream.zalloc = wipingAlloc;
  stream.zfree = wipingFree;
  stream.opaque = &blocks;
}

// Every block but zlib's state record, which a reset has already set back and
// which the stream needs to stay usable. explicit_bzero is a wipe the compiler
// may not drop, at memset's speed: a deflate stream's 380 KB after every save
// cost OPENSSL_cleanse's byte loop a tenth of the save.
bool isBuffer(const ZlibBlocks& blocks, std::size_t i, const z_stream& stream) noexcept {
  return blocks.address[i] != nullptr && blocks.address[i] != static_cast<const void*>(stream.state);
}

void wipeBuffers(const ZlibBlocks& blocks, const z_stream& stream) noexcept {
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i)
    if (isBuffer(blocks, i, stream) && !blocks.zeroedByReset[i]) ::explicit_bzero(blocks.address[i], blocks.size[i]);
}

bool allZero(const void* block, std::size_t size) noexcept {
  const auto* bytes = static_cast<const unsigned char*>(block);
  return size == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

// Marks the blocks that deflateReset zeroes by filling every buffer and
// resetting: what comes back all zero needs no wipe after a later reset. A zlib
// that stops clearing a block on reset simply gets it wiped again.
void probeReset(ZlibBlocks& blocks, z_stream& stream) noexcept {
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i)
    if (isBuffer(blocks, i, stream)) std::memset(blocks.address[i], 0xA5, blocks.size[i]);
  if (deflateReset(&stream) != Z_OK) return;
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i)
    blocks.zeroedByReset[i] = isBuffer(blocks, i, stream) && allZero(blocks.address[i], blocks.size[i]);
}

constexpr int kRawWindowBits = -15;
constexpr int kMemLevel = 9;

}  // namespace

DeflateStream::DeflateStream(int level) noexcept {
  useWipingAllocator(stream_, blocks_);
  init_ = deflateInit2(&stream_, level, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (init_ == Z_OK) probeReset(blocks_, stream_);
}

DeflateStream::~DeflateStream() {
  if (init_ == Z_OK) deflateEnd(&stream_);
}

void DeflateStream::wipe() noexcept {
  if (init_ != Z_OK) return;
  deflateReset(&stream_);
  wipeBuffers(blocks_, stream_);
}

InflateStream::InflateStream() noexcept {
  useWipingAllocator(stream_, blocks_);
  init_ = inflateInit2(&stream_, kRawWindowBits);
}

InflateStream::~InflateStream() {
  if (init_ == Z_OK) inflateEnd(&stream_);
}

void InflateStream::wipe() noexcept {
  if (init_ != Z_OK) return;
  inflateReset(&stream_);
  wipeBuffers(blocks_, stream_);
}

}  // namespace quillon::container

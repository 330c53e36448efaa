#include "container/ZlibStream.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
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

// zlib's deflate blocks in the order deflateInit2 takes them, and their sizes
// for these parameters: the window (two windows' worth), the hash chains (one
// 16-bit link per window position), the hash heads, and the pending buffer
// (output at its start, the current block's symbols from its second quarter).
enum DeflateBlock : std::size_t { kStateBlock, kWindowBlock, kPrevBlock, kHeadBlock, kPendingBlock, kDeflateBlocks };
constexpr std::size_t kWindowPositions = std::size_t{1} << -kRawWindowBits;
constexpr std::size_t kSymbols = std::size_t{1} << (kMemLevel + 6);
constexpr std::size_t kBlockBytes[kDeflateBlocks] = {0, 2 * kWindowPositions, 2 * kWindowPositions,
                                                     2 * (std::size_t{1} << (kMemLevel + 7)), 4 * kSymbols};
constexpr std::size_t kSymbolBytes = 3;  // distance (2 bytes) and length or literal

// Clears block[begin, min(end, size)).
void wipeRange(const ZlibBlocks& blocks, std::size_t i, std::size_t begin, std::size_t end) noexcept {
  end = std::min(end, blocks.size[i]);
  if (begin < end) ::explicit_bzero(static_cast<unsigned char*>(blocks.address[i]) + begin, end - begin);
}

// Whether block[begin, size) holds only zeros.
bool zeroFrom(const ZlibBlocks& blocks, std::size_t i, std::size_t begin) noexcept {
  if (begin >= blocks.size[i]) return true;
  return allZero(static_cast<const unsigned char*>(blocks.address[i]) + begin, blocks.size[i] - begin);
}

std::size_t saturatingTimes(std::size_t value, std::size_t factor) noexcept {
  return value > SIZE_MAX / factor ? SIZE_MAX : value * factor;
}

}  // namespace

DeflateStream::DeflateStream(int level) noexcept {
  useWipingAllocator(stream_, blocks_);
  init_ = deflateInit2(&stream_, level, Z_DEFLATED, kRawWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (init_ != Z_OK) return;
  const bool known = recogniseLayout();
  probeReset(blocks_, stream_);
  // From here every buffer holds zeros between two uses, which the bounded
  // wipes rely on.
  wipeBuffers(blocks_, stream_);
  fresh_ = true;  // the probe's reset was the last
  bounded_ = known && trialStaysWithinBounds();
  // The trial's bytes, wherever it left them.
  use_.whole = use_.whole || !bounded_;
  wipe();
}

DeflateStream::~DeflateStream() {
  if (init_ == Z_OK) deflateEnd(&stream_);
}

bool DeflateStream::recogniseLayout() noexcept {
  if (blocks_.address[kStateBlock] != static_cast<const void*>(stream_.state)) return false;
  for (std::size_t i = kWindowBlock; i < ZlibBlocks::kMax; ++i) {
    const std::size_t expected = i < kDeflateBlocks ? kBlockBytes[i] : 0;
    if ((blocks_.address[i] == nullptr ? 0 : blocks_.size[i]) != expected) return false;
  }
  return true;
}

// A compression of a known input, as an MSZIP chunk after its predecessor
// makes it, on zeroed buffers: every byte it wrote must lie within the bounds
// that wipeUsed() clears. A zlib whose buffers are laid out otherwise fails.
bool DeflateStream::trialStaysWithinBounds() noexcept {
  unsigned char text[1536];
  std::uint32_t x = 0x2545F491;
  for (std::size_t i = 0; i < sizeof text; ++i) {
    x = x * 1103515245 + 12345;
    // Words from a small alphabet with repeats: literals and matches alike.
    text[i] = (i % 7 == 6) ? ' ' : static_cast<unsigned char>('a' + (x >> 16) % ((i / 256) % 2 == 0 ? 26 : 4));
  }
  static constexpr std::size_t kDictionary = 512;
  unsigned char out[2 * sizeof text];
  std::size_t written = 0;
  if (compress(text, kDictionary, text + kDictionary, sizeof text - kDictionary, out, sizeof out, written) !=
          Z_STREAM_END ||
      use_.whole)
    return false;
  const std::size_t in = use_.input;
  return zeroFrom(blocks_, kWindowBlock, in) && zeroFrom(blocks_, kPrevBlock, 2 * in) &&
         allZero(static_cast<const unsigned char*>(blocks_.address[kPendingBlock]) + use_.output,
                 kSymbols - std::min(use_.output, kSymbols)) &&
         zeroFrom(blocks_, kPendingBlock, kSymbols + kSymbolBytes * in);
}

int DeflateStream::compress(const Bytef* dictionary, std::size_t dictSize, const Bytef* in, std::size_t inSize,
                            Bytef* out, std::size_t outSize, std::size_t& written) noexcept {
  written = 0;
  if (init_ != Z_OK) return init_;
  if (inSize > UINT_MAX || outSize > UINT_MAX || dictSize > UINT_MAX || (dictSize > 0 && dictionary == nullptr))
    return Z_STREAM_ERROR;
  // What this compression may leave is noted before zlib runs: whatever stops
  // it, the wipe covers it.
  use_.input = std::max(use_.input, dictSize + inSize);
  int rc = fresh_ ? Z_OK : deflateReset(&stream_);
  fresh_ = false;
  if (rc == Z_OK && dictSize > 0) rc = deflateSetDictionary(&stream_, dictionary, static_cast<uInt>(dictSize));
  if (rc != Z_OK) {
    use_.whole = true;
    return rc;
  }
  stream_.next_in = in;
  stream_.avail_in = static_cast<uInt>(inSize);
  stream_.next_out = out;
  stream_.avail_out = static_cast<uInt>(outSize);
  rc = deflate(&stream_, Z_FINISH);
  written = outSize - stream_.avail_out;
  // Output that did not fit stays pending, anywhere in the pending buffer.
  if (rc == Z_STREAM_END)
    use_.output = std::max(use_.output, written);
  else
    use_.whole = true;
  return rc;
}

void DeflateStream::wipe() noexcept {
  if (init_ != Z_OK || fresh_) return;  // untouched since the last wipe
  deflateReset(&stream_);
  if (use_.whole || !bounded_)
    wipeBuffers(blocks_, stream_);
  else
    wipeUsed();
  use_ = {};
  fresh_ = true;
}

// Clears only what the compressions since the last wipe can have written,
// which suffices because every buffer held zeros before them (the constructor
// wipes them whole) and zlib (1.2.12 on, as the constructor's trial checks):
// - fills the window from its start after a reset, one byte per byte handed,
//   dictionary included; bytes further on that it initialises get zeros;
// - links each window position below that count in the hash chains (2 bytes);
// - writes output at the start of the pending buffer and starts over there
//   once it was delivered: a finished compression delivered all of it, so it
//   never reached past the most bytes delivered;
// - keeps a block's symbols from the pending buffer's second quarter on, 3
//   bytes each, one symbol per byte handed at most;
// - zeroes the hash heads on reset (the probe found that, and the reset above
//   did it).
void DeflateStream::wipeUsed() noexcept {
  const std::size_t in = use_.input;
  wipeRange(blocks_, kWindowBlock, 0, in);
  wipeRange(blocks_, kPrevBlock, 0, saturatingTimes(in, 2));
  wipeRange(blocks_, kPendingBlock, 0, use_.output);
  wipeRange(blocks_, kPendingBlock, kSymbols,
            kSymbols + std::min(saturatingTimes(in, kSymbolBytes), kBlockBytes[kPendingBlock]));
  if (!blocks_.zeroedByReset[kHeadBlock]) wipeRange(blocks_, kHeadBlock, 0, SIZE_MAX);
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

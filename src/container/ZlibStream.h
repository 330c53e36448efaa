// Owning wrappers for zlib's raw-deflate streams (windowBits -15), used by the
// MSZIP encoder and decoder. A stream's window holds plaintext container bytes,
// so zlib allocates through an allocator that wipes every block it releases and
// keeps a list of its blocks: wipe() clears everything but zlib's own state
// record between two uses of one stream, which saves a new stream (and its
// 300 KB of fresh pages) per container. A deflate stream used through
// compress() is wiped only where that use can have written (ZlibStream.cpp
// says why that suffices).
// A z_stream points back at itself, so these objects never move.
#pragma once

#ifndef ZLIB_CONST
#define ZLIB_CONST
#endif
#include <zlib.h>

#include <cstddef>

namespace quillon::container {

// The blocks zlib holds for one stream (a deflate stream takes five, an inflate
// stream two); zlib is refused a block beyond them.
struct ZlibBlocks {
  static constexpr std::size_t kMax = 8;
  void* address[kMax] = {};
  std::size_t size[kMax] = {};
  // Blocks that the stream's reset zeroes itself (deflate's hash heads), found
  // by probing once: wipe() need not clear them a second time.
  bool zeroedByReset[kMax] = {};
};

class DeflateStream {
 public:
  // level 0 gives stored blocks only; memLevel 9 as the MSZIP writer uses.
  explicit DeflateStream(int level) noexcept;
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // zlib's result of deflateInit2 (Z_OK when the stream is usable).
  int initResult() const noexcept { return init_; }
  // The stream for any use; the next wipe() then clears every buffer.
  z_stream& get() noexcept {
    use_.whole = true;
    fresh_ = false;
    return stream_;
  }
  // One whole compression from a reset: in[0..inSize) after `dictSize` bytes
  // of `dictionary` (none when 0), finished (Z_FINISH) into out[0..outSize).
  // zlib's result (Z_STREAM_END once everything was delivered); `written`
  // receives the bytes delivered.
  int compress(const Bytef* dictionary, std::size_t dictSize, const Bytef* in, std::size_t inSize, Bytef* out,
               std::size_t outSize, std::size_t& written) noexcept;
  // Resets the stream and wipes its window, hash chains and pending output: no
  // byte of what it compressed stays. The stream is then as new.
  void wipe() noexcept;
  // The blocks zlib holds, for inspection.
  const ZlibBlocks& blocks() const noexcept { return blocks_; }
  // Whether wipe() may clear no more than what compress() wrote: zlib's
  // buffers were recognised and a trial compression stayed within the bounds.
  bool wipesByUse() const noexcept { return bounded_; }

 private:
  void wipeUsed() noexcept;
  bool recogniseLayout() noexcept;
  bool trialStaysWithinBounds() noexcept;

  // What the compressions since the last wipe can have left in the buffers, as
  // bounds: the most bytes handed to one (dictionary included) and the most
  // one delivered; `whole` when nothing bounds it.
  struct Use {
    std::size_t input = 0;
    std::size_t output = 0;
    bool whole = false;
  };

  ZlibBlocks blocks_;
  z_stream stream_{};
  int init_;
  Use use_;
  bool bounded_ = false;
  // Reset and wiped, and not touched since: compress() skips the reset, which
  // clears 128 KB of hash heads that the wipe's reset has just cleared.
  bool fresh_ = false;
};

class InflateStream {
 public:
  InflateStream() noexcept;
  ~InflateStream();
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  int initResult() const noexcept { return init_; }
  z_stream& get() noexcept { return stream_; }
  // Resets the stream and wipes its window.
  void wipe() noexcept;

 private:
  ZlibBlocks blocks_;
  z_stream stream_{};
  int init_;
};

}  // namespace quillon::container

// Owning wrappers for zlib's raw-deflate streams (windowBits -15), used by the
// MSZIP encoder and decoder. A stream's window holds plaintext container bytes,
// so zlib allocates through an allocator that wipes every block it releases.
// A z_stream points back at itself, so these objects never move.
#pragma once

#ifndef ZLIB_CONST
#define ZLIB_CONST
#endif
#include <zlib.h>

namespace quillon::container {

class DeflateStream {
 public:
  // level 0 gives stored blocks only; memLevel 9 as the MSZIP writer uses.
  explicit DeflateStream(int level) noexcept;
  ~DeflateStream();
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // zlib's result of deflateInit2 (Z_OK when the stream is usable).
  int initResult() const noexcept { return init_; }
  z_stream& get() noexcept { return stream_; }

 private:
  z_stream stream_{};
  int init_;
};

class InflateStream {
 public:
  InflateStream() noexcept;
  ~InflateStream();
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  int initResult() const noexcept { return init_; }
  z_stream& get() noexcept { return stream_; }

 private:
  z_stream stream_{};
  int init_;
};

}  // namespace quillon::container

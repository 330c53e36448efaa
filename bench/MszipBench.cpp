// MSZIP encoding and decoding of about 200 KB of XML-like text (the size of a
// personalised card's state document) against zlib's raw deflate and inflate of
// the same bytes as one stream, with the same parameters: the floor the codec
// stands on. The codec adds framing, a dictionary per 32 KiB chunk and wiping.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "base/OpenSsl.h"
#include "container/CabinetCodec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSampleSize = 200 * 1024;

Bytes makeSample() {
  std::mt19937 rng(42);
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS>\n";
  while (text.size() < kSampleSize) {
    text += "  <File id=\"" + std::to_string(0xA000 + rng() % 64) + "\" type=\"" + std::to_string(rng() % 4) +
            "\" state=\"5\">\n    <FCP>620F8201018302A0" + std::to_string(rng() % 100) + "</FCP>\n    <Data>";
    for (std::size_t i = 0, n = rng() % 256; i < n; ++i) text += kBase64[rng() % 64];
    text += "</Data>\n  </File>\n";
  }
  text.resize(kSampleSize);
  return Bytes(text.begin(), text.end());
}

const Bytes& sample() {
  static const Bytes bytes = makeSample();
  return bytes;
}

void BM_MszipEncode(benchmark::State& state) {
  const Bytes& input = sample();
  for (auto _ : state) {
    quillon::ossl::SecureBytes out;
    if (quillon::container::CabinetCompress(input.data(), input.size(), out) != 0) state.SkipWithError("compress");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MszipEncode);

Bytes rawDeflate(const Bytes& input) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, input.size()));
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) out.clear();
  return out;
}

void BM_MszipEncode_Baseline(benchmark::State& state) {
  const Bytes& input = sample();
  for (auto _ : state) {
    Bytes out = rawDeflate(input);
    if (out.empty()) state.SkipWithError("deflate");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MszipEncode_Baseline);

void BM_MszipDecode(benchmark::State& state) {
  const Bytes& input = sample();
  quillon::ossl::SecureBytes compressed;
  quillon::container::CabinetCompress(input.data(), input.size(), compressed);
  for (auto _ : state) {
    quillon::ossl::SecureBytes out;
    if (quillon::container::CabinetDecompress(compressed.data(), compressed.size(), out) != 0)
      state.SkipWithError("decompress");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MszipDecode);

void BM_MszipDecode_Baseline(benchmark::State& state) {
  const Bytes& input = sample();
  const Bytes compressed = rawDeflate(input);
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, -15);
    Bytes out(input.size());
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate");
    inflateEnd(&z);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_MszipDecode_Baseline);

}  // namespace

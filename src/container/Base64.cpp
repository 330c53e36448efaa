#include "container/Base64.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLON_BASE64_SSSE3 1
#endif

namespace quillon::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's six bits in their place for its position in a group of four;
// "=" counts as zero bits, and where it drops a byte (third and fourth position)
// it is also marked kPadding; anything else outside the alphabet is kInvalid.
constexpr std::uint32_t kInvalid = 1U << 31;
constexpr std::uint32_t kPadding = 1U << 30;
using PlacedTable = std::array<std::array<std::uint32_t, 256>, 4>;
constexpr PlacedTable makePlacedTable() {
  PlacedTable table{};
  for (int position = 0; position < 4; ++position) {
    const int shift = 18 - 6 * position;
    for (auto& entry : table[position]) entry = kInvalid;
    for (int i = 0; i < 64; ++i)
      table[position][static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint32_t>(i) << shift;
    table[position]['='] = position < 2 ? 0 : kPadding;
  }
  return table;
}
constexpr PlacedTable kPlaced = makePlacedTable();

#ifdef QUILLON_BASE64_SSSE3
// Sixteen characters at a time into twelve bytes while all of them are in the
// alphabet (no "=") and the output has room for the twelve: the classes of each
// character come from its two nibbles, its value from an offset chosen by its
// high nibble ("/" apart), and the sextets are packed with two multiply-adds.
// Returns how many characters were decoded; the caller goes on from there.
__attribute__((target("ssse3"))) std::size_t decodeBlocks(const unsigned char* in, std::size_t length, std::uint8_t* to,
                                                          std::size_t room) noexcept {
  const __m128i lowClasses =
      _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i highClasses =
      _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i pairs = _mm_set1_epi32(0x01400140);
  const __m128i quads = _mm_set1_epi32(0x00011000);
  const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  std::size_t done = 0;
  for (std::size_t made = 0; length - done >= 16 && room - made >= 12; done += 16, made += 12) {
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    const __m128i high = _mm_and_si128(_mm_srli_epi32(text, 4), nibble);
    const __m128i low = _mm_and_si128(text, nibble);
    const __m128i outside = _mm_and_si128(_mm_shuffle_epi8(lowClasses, low), _mm_shuffle_epi8(highClasses, high));
    if (_mm_movemask_epi8(_mm_cmpgt_epi8(outside, _mm_setzero_si128())) != 0) break;
    const __m128i offset = _mm_shuffle_epi8(offsets, _mm_add_epi8(_mm_cmpeq_epi8(text, slash), high));
    const __m128i sextets = _mm_add_epi8(text, offset);
    const __m128i words = _mm_madd_epi16(_mm_maddubs_epi16(sextets, pairs), quads);
    const __m128i bytes = _mm_shuffle_epi8(words, order);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to + made), bytes);
    const int last = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 8));
    std::memcpy(to + made + 8, &last, 4);
  }
  return done;
}

// False until set, which leaves the plain loop to a decode during another file's
// static initialisation.
const bool kHasSsse3 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

}  // namespace

std::optional<std::size_t> encode(std::span<const std::uint8_t> data, std::span<char> out) noexcept {
  const std::size_t textLength = encodedLength(data.size());
  if (data.size() > (SIZE_MAX - 3) / 4 * 3 || out.size() <= textLength) return std::nullopt;

  std::size_t in = 0;
  std::size_t pos = 0;
  for (; data.size() - in >= 3; in += 3) {
    const std::uint32_t group = std::uint32_t{data[in]} << 16 | std::uint32_t{data[in + 1]} << 8 | data[in + 2];
    out[pos++] = kAlphabet[group >> 18 & 0x3F];
    out[pos++] = kAlphabet[group >> 12 & 0x3F];
    out[pos++] = kAlphabet[group >> 6 & 0x3F];
    out[pos++] = kAlphabet[group & 0x3F];
  }
  const std::size_t rest = data.size() - in;
  if (rest != 0) {
    const std::uint32_t group = std::uint32_t{data[in]} << 16 | (rest == 2 ? std::uint32_t{data[in + 1]} << 8 : 0);
    out[pos++] = kAlphabet[group >> 18 & 0x3F];
    out[pos++] = kAlphabet[group >> 12 & 0x3F];
    out[pos++] = rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out[pos++] = '=';
  }
  out[pos] = '\0';
  return pos;
}

std::optional<std::size_t> decode(std::string_view text, std::span<std::uint8_t> out) noexcept {
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  std::uint8_t* const to = out.data();
  std::size_t written = 0;
  std::size_t at = 0;
#ifdef QUILLON_BASE64_SSSE3
  // Whole runs of plain groups first; whatever stops a run is met again below.
  if (kHasSsse3) {
    at = decodeBlocks(in, text.size(), to, out.size());
    written = at / 4 * 3;
  }
#endif
  for (; text.size() - at >= 4; at += 4) {
    const std::uint32_t group =
        kPlaced[0][in[at]] | kPlaced[1][in[at + 1]] | kPlaced[2][in[at + 2]] | kPlaced[3][in[at + 3]];
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(group >> 16), static_cast<std::uint8_t>(group >> 8),
                                   static_cast<std::uint8_t>(group)};
    // Most groups: in the alphabet, no padding, and room for all three bytes.
    if ((group & (kInvalid | kPadding)) == 0 && out.size() - written >= 3) {
      to[written] = bytes[0];
      to[written + 1] = bytes[1];
      to[written + 2] = bytes[2];
      written += 3;
      continue;
    }
    if (written == out.size() || (group & kInvalid) != 0) return std::nullopt;
    // Each padding position drops its own byte only, as the stored documents expect.
    const bool present[3] = {true, text[at + 2] != '=', text[at + 3] != '='};
    for (std::size_t i = 0; i < 3; ++i) {
      if (present[i] && written < out.size()) to[written++] = bytes[i];
    }
  }
  return written;
}

}  // namespace quillon::base64

#include "container/Base64.h"

#include <array>

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
  for (std::size_t at = 0; text.size() - at >= 4; at += 4) {
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

#include "container/Base64.h"

#include <array>

namespace quillon::base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0-63 for the alphabet, 0 for "=", -1 for anything else.
constexpr std::array<std::int8_t, 256> makeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  table['='] = 0;
  return table;
}
constexpr auto kDecode = makeDecodeTable();

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
  std::size_t written = 0;
  for (std::size_t at = 0; text.size() - at >= 4; at += 4) {
    if (written == out.size()) return std::nullopt;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::int8_t value = kDecode[static_cast<unsigned char>(text[at + i])];
      if (value < 0) return std::nullopt;
      group = group << 6 | static_cast<std::uint32_t>(value);
    }
    const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(group >> 16), static_cast<std::uint8_t>(group >> 8),
                                   static_cast<std::uint8_t>(group)};
    // Most groups: no padding and room for all three bytes.
    if (text[at + 2] != '=' && text[at + 3] != '=' && out.size() - written >= 3) {
      out[written] = bytes[0];
      out[written + 1] = bytes[1];
      out[written + 2] = bytes[2];
      written += 3;
      continue;
    }
    // Each padding position drops its own byte only, as the stored documents expect.
    const bool present[3] = {true, text[at + 2] != '=', text[at + 3] != '='};
    for (std::size_t i = 0; i < 3; ++i) {
      if (present[i] && written < out.size()) out[written++] = bytes[i];
    }
  }
  return written;
}

}  // namespace quillon::base64

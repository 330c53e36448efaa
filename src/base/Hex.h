// Hexadecimal text for byte strings: upper-case, two digits a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/OpenSsl.h"

namespace quillon::hex {

// 0-15 for 0-9, A-F, a-f; -1 for any other character.
constexpr int digitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The upper-case digit of the low four bits of `value`.
constexpr char digit(unsigned value) noexcept { return "0123456789ABCDEF"[value & 0x0F]; }

std::string encode(std::span<const std::uint8_t> bytes);

// Strict decoding: hexadecimal digits in pairs, with blanks and tabs allowed
// between any two digits. Any other character or an odd number of digits fails,
// and `out` is then left empty.
bool decode(std::string_view text, std::vector<std::uint8_t>& out);
// The same into wiped storage, for text that carries secrets.
bool decode(std::string_view text, ossl::SecureBytes& out);

}  // namespace quillon::hex

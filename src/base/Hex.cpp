#include "base/Hex.h"

namespace quillon::hex {

std::string encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    text += digit(b >> 4);
    text += digit(b);
  }
  return text;
}

namespace {

template <class Bytes>
bool decodeInto(std::string_view text, Bytes& out) {
  out.clear();
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\t') continue;
    const int v = digitValue(c);
    if (v < 0) {
      out.clear();
      return false;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

bool decode(std::string_view text, std::vector<std::uint8_t>& out) { return decodeInto(text, out); }
bool decode(std::string_view text, ossl::SecureBytes& out) { return decodeInto(text, out); }

}  // namespace quillon::hex

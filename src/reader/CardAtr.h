// The answer to reset of the served card: T=1 only (TD1 names protocol 1 and
// nothing follows), no global interface bytes, the product's name as
// proprietary historical bytes, and the check byte that T=1 requires. Matches
// no memory-card pattern and no other card's ATR table entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon::reader {

namespace detail {

inline constexpr std::array<std::uint8_t, 7> kHistoricalBytes = {'Q', 'u', 'i', 'l', 'l', 'o', 'n'};

constexpr std::array<std::uint8_t, 4 + kHistoricalBytes.size()> makeAtr() {
  std::array<std::uint8_t, 4 + kHistoricalBytes.size()> atr{};
  atr[0] = 0x3B;                                                       // TS: direct convention
  atr[1] = static_cast<std::uint8_t>(0x80 | kHistoricalBytes.size());  // T0: TD1 follows, K historical bytes
  atr[2] = 0x01;                                                       // TD1: T=1, no further interface bytes
  for (std::size_t i = 0; i < kHistoricalBytes.size(); ++i) atr[3 + i] = kHistoricalBytes[i];
  // TCK: the exclusive-or of every byte from T0 to TCK is zero.
  std::uint8_t check = 0;
  for (std::size_t i = 1; i + 1 < atr.size(); ++i) check ^= atr[i];
  atr[atr.size() - 1] = check;
  return atr;
}

}  // namespace detail

inline constexpr auto kCardAtr = detail::makeAtr();

}  // namespace quillon::reader

// Base64 text for the byte strings of the state document: the standard alphabet
// with "=" padding and no line breaks. Both functions write into buffers the
// caller owns, so that text holding secrets can live in wiped storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillon::base64 {

// Characters encode() writes for `length` bytes, not counting the NUL.
constexpr std::size_t encodedLength(std::size_t length) noexcept { return (length + 2) / 3 * 4; }

// The text buffer the archives allot for `length` bytes; it holds the text and its
// NUL, and its size is also what decides whether a buffer can be read back.
constexpr std::size_t textBufferSize(std::size_t length) noexcept { return length / 3 * 4 + 5; }

// Writes the text of `data` and a terminating NUL into `out` and returns the
// text's length; nullopt (and nothing written) when `out` cannot hold them.
std::optional<std::size_t> encode(std::span<const std::uint8_t> data, std::span<char> out) noexcept;

// Decodes `text` into `out` and returns the number of bytes written, or nullopt
// for a character outside the alphabet and "=", or for a group of four that
// starts when `out` is already full. Trailing characters that do not complete a
// group are ignored, "=" counts as zero bits, a group gives its second byte only
// when its third character is not "=" and its third byte only when its fourth is
// not "=", and bytes beyond the end of `out` are dropped.
std::optional<std::size_t> decode(std::string_view text, std::span<std::uint8_t> out) noexcept;

}  // namespace quillon::base64

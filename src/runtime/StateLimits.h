// The limits of the stored card, in one place for the side that writes the state
// and the side that reads it back: what the loader accepts (container and
// document sizes, XML shape, byte-string sizes) and the card capacity derived
// from them, so that no state the card admits is one the loader would refuse.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::limits {

// What the loader accepts.
inline constexpr std::uint64_t kMaxContainerBytes = 8388608;  // the sealed file
inline constexpr std::size_t kMaxDocumentBytes = 2097152;     // the decompressed state document
inline constexpr std::uint32_t kMaxDepth = 32;                // nested elements
inline constexpr std::size_t kMaxAttributes = 128;            // per element
inline constexpr std::size_t kMaxNameChars = 127;             // attribute name
inline constexpr std::size_t kMaxValueChars = 65535;          // attribute value
// A byte string's Base64 text buffer (length / 3 * 4 + 5 with its NUL) may need
// at most kMaxTextBuffer, so no byte string above kMaxBufferBytes reads back.
inline constexpr std::size_t kMaxTextBuffer = 65536;
inline constexpr std::size_t kMaxBufferBytes = 49148;
static_assert(kMaxBufferBytes / 3 * 4 + 5 <= kMaxTextBuffer && (kMaxBufferBytes + 1) / 3 * 4 + 5 > kMaxTextBuffer);
static_assert((kMaxBufferBytes + 2) / 3 * 4 <= kMaxValueChars, "the longest byte string is written uncut");

// Card capacity. Every block of persistent memory is charged what it can cost in
// the state document: its bytes as Base64 text, plus kBlockOverhead for the XML
// around it. Every element of the document belongs to an object or a byte string
// that holds a block; an object's element, its attributes and the elements of its
// empty byte strings (which hold no block) take fewer than kBlockOverhead
// characters (a key file, or a private key with five empty components, under
// 300). So the document never exceeds kDocumentFrame plus the charge of the live
// blocks.
inline constexpr std::size_t kBlockOverhead = 512;
// The XML declaration, the root element and line ends outside any object.
inline constexpr std::size_t kDocumentFrame = 16384;
// Room kept for blocks a command holds only while it runs (the APDU, signing
// buffers, authentication ciphers, the key-import buffer), so that a full card
// still signs, authenticates and erases objects.
inline constexpr std::size_t kWorkingReserve = 65536;
// What the card's stored state may be charged: commands that add to it are refused
// (6A84) past this figure, before anything changes.
inline constexpr std::size_t kCardCapacity = kMaxDocumentBytes - kDocumentFrame - kWorkingReserve;

constexpr std::uint64_t chargeOf(std::uint64_t size) noexcept { return (size + 2) / 3 * 4 + kBlockOverhead; }

// A full card's document, working blocks included, stays below what the loader takes.
static_assert(kDocumentFrame + kCardCapacity + kWorkingReserve <= kMaxDocumentBytes);

}  // namespace quillon::limits

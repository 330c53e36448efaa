// A SHA-256 digest of an applet's stored state: the applet serialises itself
// into an archive that hashes every element name and value instead of writing a
// document. Two states digest alike exactly when their state documents would be
// alike. The dev build's runtime digests the card around every command to prove
// that no change escapes the change notes.
#pragma once

#include <array>
#include <cstdint>

namespace quillon {

class IApplet;
class IJCRuntime;

using StateDigest = std::array<std::uint8_t, 32>;

// All zero without an applet. An applet whose serialisation throws digests as
// far as it went, then as the exception's mark.
StateDigest digestState(IJCRuntime& runtime);

}  // namespace quillon

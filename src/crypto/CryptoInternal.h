// Helpers shared by the key and cipher classes of this folder only: copying
// component ranges in and out of card arrays with their bounds checked, wiping
// arrays that held key material, and reporting a failed OpenSSL call.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"
#include "jc/SmartCardMemory.h"

namespace quillon {
class IJCRuntime;
}

namespace quillon::crypto_internal {

// A new persistent array holding buffer[offset, offset + length); SystemException
// 0x6700 when the range lies outside buffer.
ByteArray copyIn(IJCRuntime& runtime, const ByteArray& buffer, std::uint16_t offset, std::uint16_t length,
                 const SourceLocation& where);

// Copies a whole component to buffer at offset and returns its length; an empty
// component writes nothing. SystemException 0x6700 when it does not fit.
std::uint16_t copyOut(const ByteArray& component, ByteArray& buffer, std::uint16_t offset);

// Overwrites the array's bytes before its storage goes back (card memory does not wipe).
void wipe(ByteArray& array) noexcept;

// Wipes target's old content, then lets it take value's storage.
void replaceWiped(ByteArray& target, ByteArray&& value) noexcept;

// A number no earlier call returned, in any thread.
std::uint64_t nextRevision() noexcept;

// Traces the failed call with OpenSSL's error queue at level 1 under function and
// raises CryptoException PLATFORM_ERROR.
[[noreturn]] void platformFailure(const char* function, const char* call);

}  // namespace quillon::crypto_internal

// The PC/SC calls that reader control and the card operations make, as a table of
// function pointers:
// libpcsclite's by default, a recording fake in tests that need no daemon.
// The table owns nothing; the handles it hands out belong to the caller.
#pragma once

namespace quillon {

// pcsc-lite's types and constants on Linux under names of our own: its headers
// define the SCARD_* status codes as macros, which would clash with base/Status.h
// in every file that included both. PcscApi.cpp checks that they agree.
namespace pcsc {
using Long = long;
using Dword = unsigned long;
using Context = long;
using Handle = long;

inline constexpr Long kSuccess = 0;
inline constexpr Dword kScopeUser = 0;
inline constexpr Dword kAutoAllocate = static_cast<Dword>(-1);
inline constexpr Dword kShareDirect = 3;
inline constexpr Dword kProtocolUndefined = 0;
inline constexpr Dword kShareShared = 2;
inline constexpr Dword kProtocolT1 = 2;
inline constexpr Dword kLeaveCard = 0;
inline constexpr Dword kResetCard = 1;
inline constexpr Dword kStatePresent = 0x20;  // reader state flags
inline constexpr Dword kStateUnaware = 0;
}  // namespace pcsc

struct PcscApi {
  pcsc::Long (*establishContext)(pcsc::Dword scope, const void* reserved1, const void* reserved2,
                                 pcsc::Context* context);
  pcsc::Long (*listReaders)(pcsc::Context context, const char* groups, char* readers, pcsc::Dword* readersLength);
  pcsc::Long (*connect)(pcsc::Context context, const char* reader, pcsc::Dword shareMode,
                        pcsc::Dword preferredProtocols, pcsc::Handle* card, pcsc::Dword* activeProtocol);
  pcsc::Long (*control)(pcsc::Handle card, pcsc::Dword controlCode, const void* input, pcsc::Dword inputLength,
                        void* output, pcsc::Dword outputLength, pcsc::Dword* bytesReturned);
  pcsc::Long (*disconnect)(pcsc::Handle card, pcsc::Dword disposition);
  pcsc::Long (*freeMemory)(pcsc::Context context, const void* memory);
  pcsc::Long (*releaseContext)(pcsc::Context context);
  pcsc::Long (*beginTransaction)(pcsc::Handle card);
  pcsc::Long (*endTransaction)(pcsc::Handle card, pcsc::Dword disposition);
  // SCardTransmit with the send PCI of `protocol` and no receive PCI.
  pcsc::Long (*transmit)(pcsc::Handle card, pcsc::Dword protocol, const unsigned char* command,
                         pcsc::Dword commandLength, unsigned char* response, pcsc::Dword* responseLength);
  // SCardGetStatusChange for one reader: its event state after at most `timeout`
  // milliseconds once it differs from `currentState`.
  pcsc::Long (*getStatusChange)(pcsc::Context context, pcsc::Dword timeout, const char* reader,
                                pcsc::Dword currentState, pcsc::Dword* eventState);
};

// libpcsclite's functions.
const PcscApi& systemPcsc() noexcept;

}  // namespace quillon

#include "personalise/PcscApi.h"

#include <PCSC/winscard.h>

#include <type_traits>

namespace quillon {

static_assert(std::is_same_v<pcsc::Long, LONG> && std::is_same_v<pcsc::Dword, DWORD> &&
              std::is_same_v<pcsc::Context, SCARDCONTEXT> && std::is_same_v<pcsc::Handle, SCARDHANDLE>);
static_assert(pcsc::kSuccess == SCARD_S_SUCCESS && pcsc::kScopeUser == SCARD_SCOPE_USER &&
              pcsc::kAutoAllocate == SCARD_AUTOALLOCATE && pcsc::kShareDirect == SCARD_SHARE_DIRECT &&
              pcsc::kProtocolUndefined == SCARD_PROTOCOL_UNDEFINED && pcsc::kLeaveCard == SCARD_LEAVE_CARD);
static_assert(pcsc::kShareShared == SCARD_SHARE_SHARED && pcsc::kProtocolT1 == SCARD_PROTOCOL_T1 &&
              pcsc::kResetCard == SCARD_RESET_CARD && pcsc::kStatePresent == SCARD_STATE_PRESENT &&
              pcsc::kStateUnaware == SCARD_STATE_UNAWARE);

namespace {

LONG transmit(SCARDHANDLE card, DWORD protocol, const unsigned char* command, DWORD commandLength,
              unsigned char* response, DWORD* responseLength) {
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
  return SCardTransmit(card, pci, command, commandLength, nullptr, response, responseLength);
}

LONG getStatusChange(SCARDCONTEXT context, DWORD timeout, const char* reader, DWORD currentState, DWORD* eventState) {
  SCARD_READERSTATE state{};
  state.szReader = reader;
  state.dwCurrentState = currentState;
  const LONG rv = SCardGetStatusChange(context, timeout, &state, 1);
  *eventState = state.dwEventState;
  return rv;
}

}  // namespace

const PcscApi& systemPcsc() noexcept {
  static constexpr PcscApi api{SCardEstablishContext, SCardListReaders, SCardConnect,        SCardControl,
                               SCardDisconnect,       SCardFreeMemory,  SCardReleaseContext, SCardBeginTransaction,
                               SCardEndTransaction,   transmit,         getStatusChange};
  return api;
}

}  // namespace quillon

#include "personalise/PcscApi.h"

#include <PCSC/winscard.h>

#include <type_traits>

namespace quillon {

static_assert(std::is_same_v<pcsc::Long, LONG> && std::is_same_v<pcsc::Dword, DWORD> &&
              std::is_same_v<pcsc::Context, SCARDCONTEXT> && std::is_same_v<pcsc::Handle, SCARDHANDLE>);
static_assert(pcsc::kSuccess == SCARD_S_SUCCESS && pcsc::kScopeUser == SCARD_SCOPE_USER &&
              pcsc::kAutoAllocate == SCARD_AUTOALLOCATE && pcsc::kShareDirect == SCARD_SHARE_DIRECT &&
              pcsc::kProtocolUndefined == SCARD_PROTOCOL_UNDEFINED && pcsc::kLeaveCard == SCARD_LEAVE_CARD);

const PcscApi& systemPcsc() noexcept {
  static constexpr PcscApi api{SCardEstablishContext, SCardListReaders, SCardConnect,       SCardControl,
                               SCardDisconnect,       SCardFreeMemory,  SCardReleaseContext};
  return api;
}

}  // namespace quillon

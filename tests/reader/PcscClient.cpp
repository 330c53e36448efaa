#include "PcscClient.h"

#include <PCSC/pcsclite.h>

#include <algorithm>
#include <thread>

namespace quillon::test {

PcscClient::~PcscClient() {
  disconnect();
  if (established_) SCardReleaseContext(context_);
}

LONG PcscClient::establish() {
  if (established_) return SCARD_S_SUCCESS;
  const LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_);
  established_ = rc == SCARD_S_SUCCESS;
  return rc;
}

std::string PcscClient::findReader(const std::string& prefix) {
  if (establish() != SCARD_S_SUCCESS) return {};
  DWORD size = 0;
  if (SCardListReaders(context_, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) return {};
  std::string names(size, '\0');
  if (SCardListReaders(context_, nullptr, names.data(), &size) != SCARD_S_SUCCESS) return {};
  names.resize(std::min<std::size_t>(size, names.size()));
  for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
    const std::string name(names.c_str() + at);
    if (name.rfind(prefix, 0) == 0) return name;
    at += name.size() + 1;
  }
  return {};
}

LONG PcscClient::connectDirect(const std::string& reader) {
  disconnect();
  DWORD protocol = 0;
  const LONG rc = SCardConnect(context_, reader.c_str(), SCARD_SHARE_DIRECT, 0, &card_, &protocol);
  connected_ = rc == SCARD_S_SUCCESS;
  return rc;
}

LONG PcscClient::control(DWORD code, const std::vector<std::uint8_t>& input) {
  DWORD returned = 0;
  return SCardControl(card_, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()), nullptr, 0,
                      &returned);
}

bool PcscClient::waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0) return false;
    const LONG rc = SCardGetStatusChange(context_, static_cast<DWORD>(left), &state, 1);
    if (rc != SCARD_S_SUCCESS && rc != static_cast<LONG>(SCARD_E_TIMEOUT)) return false;
    const bool shows = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    if (rc == SCARD_S_SUCCESS && shows == present) return true;
    state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    if (rc != SCARD_S_SUCCESS) return false;
  }
}

void PcscClient::disconnect() {
  if (connected_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
  connected_ = false;
}

}  // namespace quillon::test

// What the end-to-end tests do as PC/SC clients of the private pcscd, through
// this process's libpcsclite (see PcscdFixture::useInThisProcess).
#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "personalise/ReaderConnection.h"

namespace quillon::test {

inline constexpr const char* kReaderName = "Brindleworth Virtual Reader 00 00";

// Waits up to `timeout` until the reader shows a card (or shows none).
inline bool waitForCard(bool present, std::chrono::milliseconds timeout) {
  struct Context {
    SCARDCONTEXT handle = 0;
    const bool established = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle) == SCARD_S_SUCCESS;
    ~Context() {
      if (established) SCardReleaseContext(handle);
    }
  } context;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SCARD_READERSTATE state{};
  state.szReader = kReaderName;
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  while (context.established) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left < 0 || SCardGetStatusChange(context.handle, static_cast<DWORD>(left), &state, 1) != SCARD_S_SUCCESS) break;
    if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present) return true;
    state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  }
  return false;
}

// A direct connection through libpcsclite itself, for requests with an answer.
struct DirectConnection {
  SCARDCONTEXT context = 0;
  SCARDHANDLE card = 0;
  LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  DirectConnection() {
    DWORD protocol = 0;
    if (rc == SCARD_S_SUCCESS) rc = SCardConnect(context, kReaderName, SCARD_SHARE_DIRECT, 0, &card, &protocol);
  }
  ~DirectConnection() {
    if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
    if (context != 0) SCardReleaseContext(context);
  }
  // GET VOLUME into a client buffer of `capacity` bytes.
  LONG getVolume(std::size_t capacity, std::vector<std::uint8_t>& answer) {
    answer.assign(capacity, 0xEE);
    DWORD returned = 0;
    const LONG result = SCardControl(card, ReaderConnection::kGetVolume, nullptr, 0, answer.data(),
                                     static_cast<DWORD>(answer.size()), &returned);
    answer.resize(result == SCARD_S_SUCCESS ? returned : 0);
    return result;
  }
};

}  // namespace quillon::test

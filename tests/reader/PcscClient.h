// A PC/SC client for the end-to-end tests, on libpcsclite as the wizard uses it:
// a context, the reader list, a direct connection and control requests, and
// waiting for a card to come or go. Releases its context and connection.
#pragma once

#include <PCSC/winscard.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::test {

class PcscClient {
 public:
  PcscClient() = default;
  ~PcscClient();
  PcscClient(const PcscClient&) = delete;
  PcscClient& operator=(const PcscClient&) = delete;

  LONG establish();
  // The first reader whose name starts with `prefix`; empty if none (or no list).
  std::string findReader(const std::string& prefix);
  // SCardConnect in SCARD_SHARE_DIRECT with no protocol, as Format does.
  LONG connectDirect(const std::string& reader);
  LONG control(DWORD code, const std::vector<std::uint8_t>& input);
  // Waits until the reader shows a card (or shows none), up to `timeout`.
  bool waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout);
  void disconnect();

 private:
  SCARDCONTEXT context_ = 0;
  bool established_ = false;
  SCARDHANDLE card_ = 0;
  bool connected_ = false;
};

}  // namespace quillon::test

// A PC/SC client that keeps its connection to the virtual reader's card open
// while another program works on the card, then sends its commands: what a
// program that shares the card finds once the other is done. Usage:
//   e2e_pcsc_holder READER GO-FILE APDU...
// Connects (shared, T=1), prints "connected", waits until GO-FILE exists, then
// sends each APDU (hexadecimal) and prints its status word, one per line; a card
// reset meanwhile is reported as "reset" and the card reconnected, as OpenSC
// does. Exits 1 on a PC/SC failure, after printing it.
#include <PCSC/winscard.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> fromHex(const std::string& text) {
  std::vector<unsigned char> bytes;
  std::string digits;
  for (const char c : text)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

int fail(const char* what, LONG rv) {
  std::printf("%s failed: 0x%08lx\n", what, static_cast<unsigned long>(rv));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  SCARDCONTEXT context = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
  if (rv != SCARD_S_SUCCESS) return fail("SCardEstablishContext", rv);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  rv = SCardConnect(context, argv[1], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol);
  if (rv != SCARD_S_SUCCESS) return fail("SCardConnect", rv);
  std::printf("connected\n");
  std::fflush(stdout);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(argv[2])) {
    if (std::chrono::steady_clock::now() > deadline) return fail("waiting", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int i = 3; i < argc; ++i) {
    const std::vector<unsigned char> command = fromHex(argv[i]);
    unsigned char answer[258];
    DWORD length = sizeof answer;
    rv =
        SCardTransmit(card, SCARD_PCI_T1, command.data(), static_cast<DWORD>(command.size()), nullptr, answer, &length);
    if (rv == SCARD_W_RESET_CARD) {
      std::printf("reset\n");
      rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &protocol);
      if (rv != SCARD_S_SUCCESS) return fail("SCardReconnect", rv);
      length = sizeof answer;
      rv = SCardTransmit(card, SCARD_PCI_T1, command.data(), static_cast<DWORD>(command.size()), nullptr, answer,
                         &length);
    }
    if (rv != SCARD_S_SUCCESS || length < 2) return fail("SCardTransmit", rv);
    std::printf("%02X%02X\n", answer[length - 2], answer[length - 1]);
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  return 0;
}

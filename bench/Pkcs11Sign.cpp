// quillon_pkcs11_sign: times RSA signatures through a PKCS#11 module in one
// session, as an application that signs repeatedly does (pkcs11-sign-bench.sh
// runs it against OpenSC on our card and against SoftHSM2).
//
//   quillon_pkcs11_sign sign MODULE PIN KEY_ID_HEX COUNT MESSAGE_FILE SIGNATURE_FILE [TOKEN_LABEL]
//     Logs in once, signs the message COUNT times with CKM_SHA256_RSA_PKCS after
//     one signature to warm up, writes the last signature, and prints one line:
//       signatures=N total_us=T median_us=M transmits=K transmit_us=X calls=C call_us=Y
//     transmits and transmit_us (commands to the card and the time spent in
//     them, per signature), calls and call_us (every PC/SC call: transactions
//     and status queries too) come from the PC/SC timing library when OpenSC
//     was pointed at it (QUILLON_PCSC_TIMER names it), else 0.
//   quillon_pkcs11_sign roundtrip COUNT
//     Sends COUNT commands that change nothing (the PIN status query) straight to
//     the first reader holding a card and prints roundtrip_us=R: one message
//     through pcscd, the reader driver and the card.
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what, unsigned long rv = 0) {
  std::fprintf(stderr, "quillon_pkcs11_sign: %s (0x%08lX)\n", what, rv);
  std::exit(1);
}

void check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) die(what, rv);
}

std::vector<unsigned char> fromHex(const std::string& text) {
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<unsigned char> readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read the message");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The PC/SC timing library's counters, when OpenSC loaded it.
struct PcscStats {
  using Read = void (*)(unsigned long*, unsigned long long*);
  Read read = nullptr;
  explicit PcscStats(const char* counter) {
    const char* path = std::getenv("QUILLON_PCSC_TIMER");
    if (path == nullptr) return;
    void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) read = reinterpret_cast<Read>(::dlsym(handle, counter));
  }
  void sample(unsigned long& count, unsigned long long& ns) const {
    count = 0;
    ns = 0;
    if (read != nullptr) read(&count, &ns);
  }
};

int sign(int argc, char** argv) {
  if (argc < 8) die("usage: sign MODULE PIN KEY_ID_HEX COUNT MESSAGE_FILE SIGNATURE_FILE [TOKEN_LABEL]");
  const char* modulePath = argv[2];
  const std::string pin = argv[3];
  std::vector<unsigned char> id = fromHex(argv[4]);
  const int count = std::atoi(argv[5]);
  const std::vector<unsigned char> message = readFile(argv[6]);
  const char* signatureFile = argv[7];
  const std::string label = argc > 8 ? argv[8] : "";
  if (count < 1) die("COUNT must be positive");

  void* module = ::dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) die("cannot load the module");
  auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(module, "C_GetFunctionList"));
  if (getList == nullptr) die("no C_GetFunctionList");
  CK_FUNCTION_LIST_PTR p11 = nullptr;
  check(getList(&p11), "C_GetFunctionList");
  check(p11->C_Initialize(nullptr), "C_Initialize");

  CK_ULONG slotCount = 0;
  check(p11->C_GetSlotList(CK_TRUE, nullptr, &slotCount), "C_GetSlotList");
  std::vector<CK_SLOT_ID> slots(slotCount);
  check(p11->C_GetSlotList(CK_TRUE, slots.data(), &slotCount), "C_GetSlotList");
  CK_SLOT_ID slot = 0;
  bool found = false;
  for (CK_ULONG i = 0; i < slotCount && !found; ++i) {
    CK_TOKEN_INFO info{};
    if (p11->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    std::string tokenLabel(reinterpret_cast<const char*>(info.label), sizeof info.label);
    tokenLabel.erase(tokenLabel.find_last_not_of(' ') + 1);
    if (label.empty() || tokenLabel == label) slot = slots[i], found = true;
  }
  if (!found) die("no token");

  CK_SESSION_HANDLE session = 0;
  check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession");
  check(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size()),
        "C_Login");
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}};
  check(p11->C_FindObjectsInit(session, query, 2), "C_FindObjectsInit");
  CK_OBJECT_HANDLE key = 0;
  CK_ULONG keys = 0;
  check(p11->C_FindObjects(session, &key, 1, &keys), "C_FindObjects");
  p11->C_FindObjectsFinal(session);
  if (keys != 1) die("no private key with that id");

  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  std::vector<unsigned char> signature(1024);
  auto signOnce = [&]() {
    check(p11->C_SignInit(session, &mechanism, key), "C_SignInit");
    CK_ULONG length = signature.size();
    check(p11->C_Sign(session, const_cast<unsigned char*>(message.data()), message.size(), signature.data(), &length),
          "C_Sign");
    signature.resize(length);
  };
  signOnce();  // the card's key is built and cached; OpenSC reads what it needs

  const PcscStats stats("quillon_pcsc_transmit_stats");
  const PcscStats callStats("quillon_pcsc_call_stats");
  unsigned long transmitsBefore = 0, transmitsAfter = 0, callsBefore = 0, callsAfter = 0;
  unsigned long long nsBefore = 0, nsAfter = 0, callNsBefore = 0, callNsAfter = 0;
  stats.sample(transmitsBefore, nsBefore);
  callStats.sample(callsBefore, callNsBefore);
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(count));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < count; ++i) {
    signature.resize(1024);
    const Clock::time_point t0 = Clock::now();
    signOnce();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  stats.sample(transmitsAfter, nsAfter);
  callStats.sample(callsAfter, callNsAfter);

  std::ofstream(signatureFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(signature.data()), static_cast<std::streamsize>(signature.size()));
  p11->C_Logout(session);
  p11->C_CloseSession(session);
  p11->C_Finalize(nullptr);

  std::sort(times.begin(), times.end());
  std::printf("signatures=%d total_us=%.0f median_us=%.1f transmits=%.2f transmit_us=%.1f calls=%.2f call_us=%.1f\n",
              count, total, times[times.size() / 2], static_cast<double>(transmitsAfter - transmitsBefore) / count,
              static_cast<double>(nsAfter - nsBefore) / 1000.0 / count,
              static_cast<double>(callsAfter - callsBefore) / count,
              static_cast<double>(callNsAfter - callNsBefore) / 1000.0 / count);
  return 0;
}

int roundtrip(int argc, char** argv) {
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) die("no PC/SC");
  DWORD size = 0;
  if (SCardListReaders(context, nullptr, nullptr, &size) != SCARD_S_SUCCESS) die("no reader");
  std::vector<char> names(size);
  if (SCardListReaders(context, nullptr, names.data(), &size) != SCARD_S_SUCCESS) die("no reader");
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardConnect(context, names.data(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                   &protocol) != SCARD_S_SUCCESS)
    die("no card");
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
  // SELECT of the application, then the PIN status query (changes nothing).
  const unsigned char select[] = {0x00, 0xA4, 0x04, 0x0C, 0x09, 0xA0, 0x00, 0x00, 0x03, 0x97, 0x42, 0x54, 0x46, 0x59};
  const unsigned char status[] = {0x00, 0xCB, 0x3F, 0xFF, 0x04, 0x5C, 0x02, 0x7F, 0x71, 0x00};
  unsigned char response[300];
  DWORD length = sizeof response;
  if (SCardTransmit(card, pci, select, sizeof select, nullptr, response, &length) != SCARD_S_SUCCESS) die("select");
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    length = sizeof response;
    const Clock::time_point t0 = Clock::now();
    if (SCardTransmit(card, pci, status, sizeof status, nullptr, response, &length) != SCARD_S_SUCCESS) die("transmit");
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  std::sort(times.begin(), times.end());
  std::printf("roundtrip_us=%.1f\n", times[times.size() / 2]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "sign") == 0) return sign(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "roundtrip") == 0) return roundtrip(argc, argv);
  die("usage: quillon_pkcs11_sign sign ... | roundtrip COUNT");
}

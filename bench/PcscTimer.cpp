// libquillon_pcsc_timer: a PC/SC library that forwards every call to
// pcsc-lite and counts the calls (and among them the commands sent) and the
// time spent in them, for
// pkcs11-sign-bench.sh's breakdown of one signature. OpenSC loads it in place
// of libpcsclite (reader_driver pcsc { provider_library = ...; }); the signing
// tool reads the counters through quillon_pcsc_transmit_stats.
#include <dlfcn.h>
#include <winscard.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

void* real(const char* name) {
  static void* library = [] {
    void* handle = ::dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::abort();
    return handle;
  }();
  void* function = ::dlsym(library, name);
  if (function == nullptr) std::abort();
  return function;
}

template <class F>
F forward(const char* name) {
  return reinterpret_cast<F>(real(name));
}

std::atomic<unsigned long> transmits{0};
std::atomic<unsigned long long> transmitNs{0};
// Every call to pcscd (transactions, status queries and commands alike).
std::atomic<unsigned long> calls{0};
std::atomic<unsigned long long> callNs{0};

// Runs one forwarded call, counting it and its time.
template <class Call>
LONG timed(Call call, bool transmit = false) {
  const auto start = std::chrono::steady_clock::now();
  const LONG rv = call();
  const auto ns = static_cast<unsigned long long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
  ++calls;
  callNs += ns;
  if (transmit) {
    ++transmits;
    transmitNs += ns;
  }
  return rv;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void quillon_pcsc_transmit_stats(unsigned long* count, unsigned long long* ns) {
  *count = transmits.load();
  *ns = transmitNs.load();
}

__attribute__((visibility("default"))) void quillon_pcsc_call_stats(unsigned long* count, unsigned long long* ns) {
  *count = calls.load();
  *ns = callNs.load();
}

LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2, LPSCARDCONTEXT context) {
  static auto f = forward<decltype(&SCardEstablishContext)>("SCardEstablishContext");
  return f(scope, reserved1, reserved2, context);
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
  static auto f = forward<decltype(&SCardReleaseContext)>("SCardReleaseContext");
  return f(context);
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                  LPDWORD active) {
  static auto f = forward<decltype(&SCardConnect)>("SCardConnect");
  return timed([&] { return f(context, reader, share, protocols, card, active); });
}

LONG SCardReconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD init, LPDWORD active) {
  static auto f = forward<decltype(&SCardReconnect)>("SCardReconnect");
  return timed([&] { return f(card, share, protocols, init, active); });
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
  static auto f = forward<decltype(&SCardDisconnect)>("SCardDisconnect");
  return timed([&] { return f(card, disposition); });
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
  static auto f = forward<decltype(&SCardBeginTransaction)>("SCardBeginTransaction");
  return timed([&] { return f(card); });
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  static auto f = forward<decltype(&SCardEndTransaction)>("SCardEndTransaction");
  return timed([&] { return f(card, disposition); });
}

LONG SCardStatus(SCARDHANDLE card, LPSTR names, LPDWORD namesLength, LPDWORD state, LPDWORD protocol, LPBYTE atr,
                 LPDWORD atrLength) {
  static auto f = forward<decltype(&SCardStatus)>("SCardStatus");
  return timed([&] { return f(card, names, namesLength, state, protocol, atr, atrLength); });
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
  static auto f = forward<decltype(&SCardGetStatusChange)>("SCardGetStatusChange");
  return timed([&] { return f(context, timeout, states, count); });
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID in, DWORD inLength, LPVOID out, DWORD outLength,
                  LPDWORD returned) {
  static auto f = forward<decltype(&SCardControl)>("SCardControl");
  return timed([&] { return f(card, code, in, inLength, out, outLength, returned); });
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send, DWORD sendLength,
                   SCARD_IO_REQUEST* receivePci, LPBYTE receive, LPDWORD receiveLength) {
  static auto f = forward<decltype(&SCardTransmit)>("SCardTransmit");
  return timed([&] { return f(card, sendPci, send, sendLength, receivePci, receive, receiveLength); }, true);
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
  static auto f = forward<decltype(&SCardListReaders)>("SCardListReaders");
  return timed([&] { return f(context, groups, readers, length); });
}

LONG SCardCancel(SCARDCONTEXT context) {
  static auto f = forward<decltype(&SCardCancel)>("SCardCancel");
  return timed([&] { return f(context); });
}

LONG SCardGetAttrib(SCARDHANDLE card, DWORD id, LPBYTE attribute, LPDWORD length) {
  static auto f = forward<decltype(&SCardGetAttrib)>("SCardGetAttrib");
  return timed([&] { return f(card, id, attribute, length); });
}

}  // extern "C"

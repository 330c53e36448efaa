// The pcsc-lite IFD handler entry points of libifd-quillon.so: argument checks
// and the choice of reader, then VirtualReader does the work. Nothing thrown
// crosses into pcscd: every entry point runs its body through the noexcept
// guarded(). (ifdhandler.h declares them without noexcept, and a redeclaration
// that adds it is refused by clang.)
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "base/Trace.h"
#include "reader/CardAtr.h"
#include "reader/ReaderConfig.h"
#include "reader/ReaderLog.h"
#include "reader/VirtualReader.h"

using quillon::reader::VirtualReader;

namespace {

constexpr const char* kFunction = "IfdHandler";
constexpr const char* kVendor = "Brindleworth";
// Readers one loaded driver serves at most (one reader.conf.d entry each).
constexpr unsigned char kMaxReaders = 16;

// Readers by pcscd's reader number (the high half of the Lun). Shared, so that a
// polling thread still waiting keeps its reader alive after the channel closes.
std::mutex g_mutex;
std::map<DWORD, std::shared_ptr<VirtualReader>> g_readers;

std::shared_ptr<VirtualReader> readerFor(DWORD lun) {
  if ((lun & 0xFFFF) != 0) return nullptr;  // one slot
  std::lock_guard lock(g_mutex);
  const auto it = g_readers.find(lun >> 16);
  return it == g_readers.end() ? nullptr : it->second;
}

template <class Body>
RESPONSECODE guarded(const char* entry, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    quillon::reader::report(quillon::trace::kError, kFunction, "%s failed: %s", entry, e.what());
  } catch (...) {
    quillon::reader::report(quillon::trace::kError, kFunction, "%s failed", entry);
  }
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE openChannel(DWORD lun, const char* deviceName) {
  if ((lun & 0xFFFF) != 0) return IFD_COMMUNICATION_ERROR;
  quillon::trace::registerProvider();
  quillon::reader::ReaderConfig config;
  std::string error;
  if (!quillon::reader::parseReaderConfig(deviceName != nullptr ? deviceName : "", config, error)) {
    quillon::reader::report(quillon::trace::kError, kFunction, "DEVICENAME refused: %s", error.c_str());
    return IFD_COMMUNICATION_ERROR;
  }
  std::lock_guard lock(g_mutex);
  if (g_readers.count(lun >> 16) != 0) return IFD_COMMUNICATION_ERROR;
  g_readers.emplace(lun >> 16, std::make_shared<VirtualReader>(config));
  QTRACE(quillon::trace::kInformation, kFunction, "IfdHandler: channel %lu open",
         static_cast<unsigned long>(lun >> 16));
  return IFD_SUCCESS;
}

template <class T>
RESPONSECODE putValue(PDWORD length, PUCHAR value, const T& item) {
  if (length == nullptr || value == nullptr) return IFD_COMMUNICATION_ERROR;
  if (*length < sizeof item) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(value, &item, sizeof item);
  *length = sizeof item;
  return IFD_SUCCESS;
}

RESPONSECODE putBytes(PDWORD length, PUCHAR value, std::span<const unsigned char> bytes) {
  if (length == nullptr || (value == nullptr && !bytes.empty())) return IFD_COMMUNICATION_ERROR;
  if (*length < bytes.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
  if (!bytes.empty()) std::memcpy(value, bytes.data(), bytes.size());
  *length = static_cast<DWORD>(bytes.size());
  return IFD_SUCCESS;
}

RESPONSECODE pollForChange(DWORD lun, int timeout) {
  return guarded("polling", [&]() -> RESPONSECODE {
    const std::shared_ptr<VirtualReader> reader = readerFor(lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    reader->waitForChange(std::chrono::milliseconds(std::max(timeout, 0)));
    return IFD_SUCCESS;
  });
}

RESPONSECODE stopPolling(DWORD lun) {
  return guarded("stop polling", [&]() -> RESPONSECODE {
    const std::shared_ptr<VirtualReader> reader = readerFor(lun);
    if (reader) reader->stopWaiting();
    return IFD_SUCCESS;
  });
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return guarded("IFDHCreateChannelByName", [&] { return openChannel(Lun, DeviceName); });
}

RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD /*Channel*/) {
  // No device name: the production defaults.
  return guarded("IFDHCreateChannel", [&] { return openChannel(Lun, ""); });
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return guarded("IFDHCloseChannel", [&]() -> RESPONSECODE {
    std::shared_ptr<VirtualReader> reader;
    {
      std::lock_guard lock(g_mutex);
      const auto it = g_readers.find(Lun >> 16);
      if (it == g_readers.end()) return IFD_COMMUNICATION_ERROR;
      reader = std::move(it->second);
      g_readers.erase(it);
    }
    reader->stopWaiting();
    reader->powerDown();
    return IFD_SUCCESS;
  });
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  return guarded("IFDHGetCapabilities", [&]() -> RESPONSECODE {
    const std::shared_ptr<VirtualReader> reader = readerFor(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
      case TAG_IFD_ATR:
      case SCARD_ATTR_ATR_STRING:
        return putBytes(Length, Value,
                        reader->powered() ? std::span<const unsigned char>(quillon::reader::kCardAtr)
                                          : std::span<const unsigned char>());
      case TAG_IFD_SIMULTANEOUS_ACCESS: return putValue(Length, Value, kMaxReaders);
      case TAG_IFD_THREAD_SAFE: return putValue(Length, Value, static_cast<unsigned char>(1));
      case TAG_IFD_SLOTS_NUMBER: return putValue(Length, Value, static_cast<unsigned char>(1));
      case TAG_IFD_SLOT_THREAD_SAFE: return putValue(Length, Value, static_cast<unsigned char>(0));
      case TAG_IFD_POLLING_THREAD_KILLABLE: return putValue(Length, Value, static_cast<unsigned char>(0));
      case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
        RESPONSECODE (*poll)(DWORD, int) = pollForChange;
        return putValue(Length, Value, poll);
      }
      case TAG_IFD_STOP_POLLING_THREAD: {
        RESPONSECODE (*stop)(DWORD) = stopPolling;
        return putValue(Length, Value, stop);
      }
      case SCARD_ATTR_VENDOR_NAME:
        return putBytes(Length, Value,
                        std::span(reinterpret_cast<const unsigned char*>(kVendor), std::strlen(kVendor)));
      default: return IFD_ERROR_TAG;
    }
  });
}

RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD /*Tag*/, DWORD /*Length*/, PUCHAR /*Value*/) {
  return guarded("IFDHSetCapabilities",
                 [&]() -> RESPONSECODE { return readerFor(Lun) ? IFD_ERROR_TAG : IFD_COMMUNICATION_ERROR; });
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR /*Flags*/, UCHAR /*PTS1*/, UCHAR /*PTS2*/,
                                       UCHAR /*PTS3*/) {
  return guarded("IFDHSetProtocolParameters", [&]() -> RESPONSECODE {
    if (!readerFor(Lun)) return IFD_COMMUNICATION_ERROR;
    return Protocol == SCARD_PROTOCOL_T1 ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
  });
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  return guarded("IFDHPowerICC", [&]() -> RESPONSECODE {
    const std::shared_ptr<VirtualReader> reader = readerFor(Lun);
    if (AtrLength != nullptr && Action != IFD_POWER_DOWN && Atr == nullptr) *AtrLength = 0;
    if (!reader) return IFD_COMMUNICATION_ERROR;
    switch (Action) {
      case IFD_POWER_DOWN:
        reader->powerDown();
        if (AtrLength != nullptr) *AtrLength = 0;
        return IFD_SUCCESS;
      case IFD_POWER_UP:
      case IFD_RESET: {
        if (Atr == nullptr || AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
        std::size_t length = 0;
        const RESPONSECODE rc = reader->powerUp(std::span(Atr, MAX_ATR_SIZE), length);
        *AtrLength = static_cast<DWORD>(length);
        return rc;
      }
      default: return IFD_NOT_SUPPORTED;
    }
  });
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  return guarded("IFDHTransmitToICC", [&]() -> RESPONSECODE {
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    const DWORD capacity = *RxLength;
    *RxLength = 0;
    const std::shared_ptr<VirtualReader> reader = readerFor(Lun);
    if (!reader || RxBuffer == nullptr || (TxBuffer == nullptr && TxLength != 0)) return IFD_COMMUNICATION_ERROR;
    std::size_t length = 0;
    const RESPONSECODE rc = reader->transmit(std::span(TxBuffer, TxLength), std::span(RxBuffer, capacity), length);
    *RxLength = static_cast<DWORD>(length);
    if (RecvPci != nullptr) {
      RecvPci->Protocol = SendPci.Protocol;
      RecvPci->Length = 0;
    }
    return rc;
  });
}

RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  return guarded("IFDHControl", [&]() -> RESPONSECODE {
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    const std::shared_ptr<VirtualReader> reader = readerFor(Lun);
    if (!reader || (TxBuffer == nullptr && TxLength != 0)) return IFD_COMMUNICATION_ERROR;
    const std::span<std::uint8_t> output =
        RxBuffer != nullptr ? std::span<std::uint8_t>(RxBuffer, RxLength) : std::span<std::uint8_t>();
    std::size_t returned = 0;
    const RESPONSECODE rc =
        reader->control(dwControlCode, std::span<const std::uint8_t>(TxBuffer, TxLength), output, returned);
    if (returned != 0) {
      // An answer with nowhere to say its size is not given.
      if (pdwBytesReturned == nullptr) return IFD_COMMUNICATION_ERROR;
      *pdwBytesReturned = static_cast<DWORD>(returned);
    }
    return rc;
  });
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  return guarded("IFDHICCPresence", [&]() -> RESPONSECODE {
    const std::shared_ptr<VirtualReader> reader = readerFor(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    return reader->present() ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
  });
}

}  // extern "C"

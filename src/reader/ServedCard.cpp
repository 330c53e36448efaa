#include "reader/ServedCard.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/FileHandle.h"
#include "base/Status.h"
#include "base/Trace.h"
#include "container/ContainerFile.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "platform/DeviceDetails.h"

namespace quillon::reader {

namespace {

constexpr const char* kFunction = "ServedCard::transmit";

__attribute__((format(printf, 1, 2))) std::string describe(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(text);
}

std::uint32_t loadInto(FilePersist& persist, JCRuntimeImpl& runtime, IAppletInstaller& installer, int fd) {
  try {
    return persist.loadInto(runtime, installer, fd);
  } catch (...) {
    // loadInto reports every failure itself; this only keeps pcscd standing
    // should memory run out on the way.
    return status::E_FAIL;
  }
}

void answerStatus(std::span<std::uint8_t> response, std::size_t& length, std::uint16_t sw) {
  response[0] = static_cast<std::uint8_t>(sw >> 8);
  response[1] = static_cast<std::uint8_t>(sw);
  length = 2;
}

}  // namespace

std::uint32_t ServedCard::SaveWatch::save(IJCRuntime& runtime) {
  const std::uint32_t hr = persist.save(runtime);
  ++saves;
  if (hr != 0) {
    failed = true;
    lastError = hr;
  }
  return hr;
}

ServedCard::ServedCard(Key, std::unique_ptr<FilePersist> persist, ContainerVersion version)
    : persist_(std::move(persist)), watch_(*persist_), version_(std::move(version)) {}

ServedCard::~ServedCard() = default;

std::unique_ptr<ServedCard> ServedCard::load(const platform::SystemPaths& paths, const std::string& mountPoint,
                                             std::string& reason) {
  reason.clear();
  platform::DeviceDetails details;
  std::uint32_t error = 0;
  if (!platform::GetDeviceDetails(paths, mountPoint, details, error)) {
    reason = describe("no device identity for %s (error %u)", mountPoint.c_str(), error);
    return nullptr;
  }
  if (details.readOnly) {
    reason = describe("the medium at %s is write-protected", mountPoint.c_str());
    return nullptr;
  }
  auto persist = std::make_unique<FilePersist>(details, mountPoint);
  if (!persist->hasKey()) {
    reason = describe("no device key for %s", mountPoint.c_str());
    return nullptr;
  }

  // As FilePersist opens it: never through a link, never blocking on a FIFO.
  container::OpenedContainer opened = container::openContainer(persist->path());
  FileHandle& file = opened.file;
  const struct stat& info = opened.info;
  if (!file.valid()) {
    const int err = opened.error;
    reason = err == ENOENT                   ? describe("no container at %s", persist->path().c_str())
             : err == ELOOP                  ? describe("%s is a symbolic link", persist->path().c_str())
             : err == EACCES || err == EPERM ? describe("permission to read %s was denied", persist->path().c_str())
                                             : describe("cannot open %s (errno %d)", persist->path().c_str(), err);
    return nullptr;
  }
  if (!opened.regular() || info.st_size <= 0) {
    reason = describe("%s is not a non-empty regular file", persist->path().c_str());
    return nullptr;
  }

  auto card = std::make_unique<ServedCard>(Key(), std::move(persist), versionOf(mountPoint, info));
  card->runtime_ = std::make_unique<JCRuntimeImpl>(&card->watch_);
  const std::uint32_t hr = loadInto(*card->persist_, *card->runtime_, card->installer_, file.get());
  if (hr != 0 || card->persist_->refusesSaving() || card->runtime_->getApplet() == nullptr) {
    const std::string& why = card->persist_->loadFailure();
    reason = describe("%s does not load (hr 0x%08X): %s", card->persist_->path().c_str(), hr,
                      why.empty() ? "another stick's container, or damaged" : why.c_str());
    return nullptr;
  }
  return card;
}

ServedCard::Outcome ServedCard::transmit(std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                                         std::size_t& length) {
  length = 0;
  if (response.size() < kMaxResponse) return Outcome::kFailed;
  savesBefore_ = watch_.saves;
  watch_.failed = false;
  if (command.size() < 4) {
    // Not even a header: no applet sees it.
    answerStatus(response, length, ISO7816::SW_WRONG_LENGTH);
    return Outcome::kAnswered;
  }

  std::uint32_t status = 0;
  std::uint32_t n = static_cast<std::uint32_t>(kMaxResponse);
  try {
    status = runtime_->transmit(command.data(), static_cast<std::uint32_t>(command.size()), response.data(), n);
  } catch (const ISOException& e) {
    // Refusals before the applet runs, such as a command longer than the APDU buffer.
    answerStatus(response, length, e.getReason());
    return watch_.failed ? Outcome::kSaveFailed : Outcome::kAnswered;
  } catch (...) {
    QTRACE(trace::kError, kFunction, "ServedCard::transmit: the runtime failed");
    answerStatus(response, length, ISO7816::SW_UNKNOWN);
    return watch_.failed ? Outcome::kSaveFailed : Outcome::kAnswered;
  }
  if (watch_.failed) {
    OPENSSL_cleanse(response.data(), response.size());
    return Outcome::kSaveFailed;
  }
  if (status != 0 || n < 2 || n > kMaxResponse) {
    QTRACE(trace::kError, kFunction, "ServedCard::transmit: transmit status 0x%08X", status);
    OPENSSL_cleanse(response.data(), response.size());
    return Outcome::kFailed;
  }
  length = n;
  return Outcome::kAnswered;
}

}  // namespace quillon::reader

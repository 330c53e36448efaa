#include "container/FilePersist.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "base/FileHandle.h"
#include "base/Status.h"
#include "base/Trace.h"
#include "container/AtomicFile.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/ContainerFile.h"
#include "container/DeviceKey.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "jc/IApplet.h"

namespace quillon {

static_assert(FilePersist::kNoDeviceKey == status::NTE_NO_KEY);

namespace {

// Whatever a document the loader accepts holds, even incompressible key material
// stored chunk by chunk, its sealed container is a file the loader reads.
static_assert(container::MszipEncoder::bound(container::kDecompressedCap) + container::kGcmOverhead <=
              FilePersist::kMaxContainerBytes);

const char* statusText(std::uint32_t hr) noexcept {
  const char* text = status::messageText(hr);
  return text != nullptr ? text : "unknown error";
}

// Why a container that exists could not be opened, for a person.
std::string openFailure(int error) {
  if (error == EACCES || error == EPERM) return "permission to read it was denied";
  if (error == ELOOP) return "it is a symbolic link";
  return "it cannot be opened (" + std::string(std::strerror(error)) + ")";
}

// One failure of a step of save() or load(): traced at error level as
// "<function>: <text>", its status handed back for the caller to return.
__attribute__((format(printf, 3, 4))) std::uint32_t traceFailure(std::uint32_t hr, const char* function,
                                                                 const char* format, ...) noexcept {
  if (trace::enabled()) {
    char text[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    QTRACE(trace::kError, function, "%s: %s", function, text);
  }
  return hr;
}

// The Windows call each step of replacing the container stands for, in traces.
const char* replaceStepName(container::ReplaceStep step) noexcept {
  switch (step) {
    case container::ReplaceStep::kCreate: return "CreateFileW";
    case container::ReplaceStep::kWrite: return "WriteFile";
    case container::ReplaceStep::kFlush: return "FlushFileBuffers";
    case container::ReplaceStep::kRename: return "MoveFileExW";
    case container::ReplaceStep::kFlushDirectory:
    case container::ReplaceStep::kDone: break;
  }
  return "FlushFileBuffers (directory)";
}

}  // namespace

FilePersist::FilePersist(std::string path, bool encrypted) : path_(std::move(path)), encrypted_(encrypted) {}

FilePersist::FilePersist(const platform::DeviceIdentity& identity, const std::string& drive)
    : FilePersist(container::containerPathOn(drive), true) {
  keyValid_ = container::DeriveDeviceKey(identity, key_.data());
}

FilePersist FilePersist::plain(const std::string& path) { return FilePersist(path, false); }

FilePersist::~FilePersist() { OPENSSL_cleanse(key_.data(), key_.size()); }

FilePersist::FilePersist(FilePersist&& other) noexcept
    : path_(std::move(other.path_)),
      key_(other.key_),
      encrypted_(other.encrypted_),
      keyValid_(std::exchange(other.keyValid_, false)),
      unreadable_(other.unreadable_),
      lastHash_(other.lastHash_),
      loadFailure_(std::move(other.loadFailure_)),
      loadStatus_(other.loadStatus_),
      encoder_(std::move(other.encoder_)),
      decoder_(std::move(other.decoder_)) {
  OPENSSL_cleanse(other.key_.data(), other.key_.size());
}

std::uint32_t FilePersist::save(IJCRuntime& runtime) {
  static constexpr const char* kFunction = "FilePersist::save";
  QTRACE(trace::kVerbose, kFunction, "FilePersist::save");
  if (encrypted_ && !keyValid_)
    return traceFailure(kNoDeviceKey, kFunction, "no device key, refusing to write %s", path_.c_str());
  if (unreadable_)
    return traceFailure(kUnreadableContainer, kFunction, "%s could not be loaded, refusing to overwrite it",
                        path_.c_str());

  std::optional<ossl::SecureBytes> xml = snapshotHeap(runtime);
  if (!xml) return traceFailure(status::E_FAIL, kFunction, "snapshotHeap failed");
  // The loader refuses a larger document: writing it would lose the card.
  if (xml->size() > container::kDecompressedCap)
    return traceFailure(status::HRESULT_FILE_TOO_LARGE, kFunction, "document of %zu bytes exceeds cap %zu", xml->size(),
                        container::kDecompressedCap);
  std::array<std::uint8_t, 32> digest{};
  if (!container::Sha256(xml->data(), xml->size(), digest.data()))
    return traceFailure(status::E_FAIL, kFunction, "Sha256 failed");
  if (CRYPTO_memcmp(digest.data(), lastHash_.data(), digest.size()) == 0) {
    QTRACE(trace::kVerbose, kFunction, "FilePersist::save: no change, skipping write");
    runtime.noteStateStored();
    return status::S_OK;
  }

  ossl::SecureBytes compressed;
  std::uint32_t hr = container::CabinetCompress(encoder(), xml->data(), xml->size(), compressed);
  xml.reset();  // wiped as soon as it is no longer needed
  if (hr != status::S_OK) return traceFailure(hr, kFunction, "CabinetCompress hr=0x%08X", hr);
  std::vector<std::uint8_t> sealed;
  std::span<const std::uint8_t> bytes(compressed);
  if (encrypted_) {
    hr = container::AesGcmEncrypt(key_.data(), compressed.data(), compressed.size(), sealed);
    if (hr != status::S_OK) return traceFailure(hr, kFunction, "AesGcmEncrypt hr=0x%08X", hr);
    bytes = sealed;
  }

  // A temporary file renamed over the container: a failure at any point leaves
  // the previous card whole. A plain copy holds the card in clear: no name may
  // hold it before it is complete, nor after its writer is killed.
  const container::ReplaceResult result =
      encrypted_ ? container::ReplaceFileAtomically(path_, bytes) : container::ReplaceClearFile(path_, bytes);
  if (!result.ok()) {
    hr = status::hresultFromErrno(result.error);
    return traceFailure(hr, kFunction, "%s failed hr=0x%08X", replaceStepName(result.step), hr);
  }
  lastHash_ = digest;
  runtime.noteStateStored();
  QTRACE(trace::kInformation, kFunction, "FilePersist::save: wrote %zu bytes to %s", bytes.size(), path_.c_str());
  return status::S_OK;
}

container::MszipEncoder& FilePersist::encoder() {
  // A stream that could not be set up (memory was short) is tried again.
  if (!encoder_ || encoder_->initResult() != Z_OK) encoder_ = std::make_unique<container::MszipEncoder>();
  return *encoder_;
}

container::MszipDecoder& FilePersist::decoder() {
  if (!decoder_ || decoder_->initResult() != Z_OK) decoder_ = std::make_unique<container::MszipDecoder>();
  return *decoder_;
}

std::uint32_t FilePersist::loadInto(IJCRuntime& runtime, IAppletInstaller& installer, int fd) {
  loadFailure_.clear();
  loadStatus_ = status::S_OK;
  std::uint32_t hr = status::E_FAIL;
  try {
    hr = load(runtime, installer, fd);
  } catch (...) {
    // Nothing of a hostile container may take the program down.
    QTRACE(trace::kError, "FilePersist::loadInto", "FilePersist::loadInto: an exception stopped the load");
    hr = refuseLoad(status::E_FAIL, "it could not be loaded");
  }
  // Whatever stopped the load leaves the container unreadable to this object.
  if (hr != status::S_OK) unreadable_ = true;
  return hr;
}

std::uint32_t FilePersist::refuseLoad(std::uint32_t hr, const std::string& why) noexcept {
  if (loadStatus_ != status::S_OK) return hr;
  loadStatus_ = hr;
  try {
    loadFailure_ = why;
  } catch (const std::bad_alloc&) {
    loadFailure_.clear();
  }
  return hr;
}

std::uint32_t FilePersist::load(IJCRuntime& runtime, IAppletInstaller& installer, int fd) {
  static constexpr const char* kFunction = "FilePersist::loadInto";
  if (encrypted_ && !keyValid_)
    return refuseLoad(traceFailure(kNoDeviceKey, kFunction, "no device key, refusing to read %s", path_.c_str()),
                      "no container key can be derived from the device's identity");
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    const std::uint32_t hr = status::hresultFromErrno(error);
    return refuseLoad(traceFailure(hr, kFunction, "GetFileSizeEx hr=0x%08X", hr),
                      "it cannot be read (" + std::string(std::strerror(error)) + ")");
  }
  if (!S_ISREG(info.st_mode))
    return refuseLoad(traceFailure(status::E_ACCESSDENIED, kFunction, "not a regular file (mode 0%o)",
                                   static_cast<unsigned>(info.st_mode)),
                      "it is not a regular file");
  const std::int64_t fileSize = info.st_size;
  if (fileSize < 0 || static_cast<std::uint64_t>(fileSize) > kMaxContainerBytes)
    return refuseLoad(
        traceFailure(status::HRESULT_FILE_TOO_LARGE, kFunction, "file too large (%" PRId64 " bytes)", fileSize),
        "it is larger than any card (more than 8 MiB)");
  const auto size = static_cast<std::size_t>(fileSize);
  if (encrypted_ && size < container::kGcmOverhead)
    return refuseLoad(traceFailure(status::E_INVALIDARG, kFunction, "encrypted payload too small (%zu)", size),
                      "it is too short to hold a card (" + std::to_string(size) + " bytes)");

  ossl::SecureBytes file;
  try {
    file.resize(size);
  } catch (const std::bad_alloc&) {
    return refuseLoad(traceFailure(status::E_OUTOFMEMORY, kFunction, "HeapAlloc(%zu) failed", size),
                      "there is not enough memory to read it");
  }
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pread(fd, file.data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A file that shrank under us ends early: an error, not a short success.
      const int error = errno;
      const std::uint32_t hr =
          n < 0 ? status::hresultFromErrno(error) : status::hresultFromWin32(status::ERROR_HANDLE_EOF);
      return refuseLoad(traceFailure(hr, kFunction, "ReadFile hr=0x%08X", hr),
                        n < 0 ? "it cannot be read (" + std::string(std::strerror(error)) + ")"
                              : std::string("it grew shorter while it was read"));
    }
    done += static_cast<std::size_t>(n);
  }

  ossl::SecureBytes decrypted;
  const ossl::SecureBytes* payload = &file;
  if (encrypted_) {
    const std::uint32_t hr = container::AesGcmDecrypt(key_.data(), file.data(), file.size(), decrypted);
    if (hr != status::S_OK) {
      // The tag fails alike for another device's key and for changed bytes.
      return refuseLoad(traceFailure(hr, kFunction, "AesGcmDecrypt hr=0x%08X", hr),
                        hr == status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH)
                            ? "it belongs to another USB stick, or it is damaged"
                            : "it cannot be decrypted (" + std::string(statusText(hr)) + ")");
    }
    payload = &decrypted;
  }
  ossl::SecureBytes xml;
  std::uint32_t hr = container::CabinetDecompress(decoder(), payload->data(), payload->size(), xml);
  if (hr != status::S_OK) {
    return refuseLoad(traceFailure(hr, kFunction, "CabinetDecompress hr=0x%08X", hr),
                      hr == status::HRESULT_FILE_TOO_LARGE ? "its state is larger than any card's (2 MiB)"
                                                           : "its compressed state is damaged");
  }
  std::string fault;
  try {
    hr = restoreHeap(xml, runtime, installer, &fault);
  } catch (...) {
    // A value the card refuses, or an exception of the runtime while it rebuilds
    // the applet: the card is refused, and told why.
    return refuseLoad(traceFailure(kDamagedState, kFunction, "restoreHeap threw"),
                      fault.empty() ? "its state could not be rebuilt" : "its state is damaged: " + fault);
  }
  if (hr != status::S_OK)
    return refuseLoad(traceFailure(hr, kFunction, "restoreHeap hr=0x%08X", hr), "its state is damaged: " + fault);
  if (container::Sha256(xml.data(), xml.size(), lastHash_.data())) {
    runtime.noteStateStored();  // the runtime holds what the container holds
  } else {
    lastHash_.fill(0);  // the next save then writes
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: Sha256 for cache failed (non-fatal)");
  }
  QTRACE(trace::kInformation, kFunction, "FilePersist::loadInto: loaded %zu XML bytes from %s", xml.size(),
         path_.c_str());
  return status::S_OK;
}

std::unique_ptr<JCRuntimeImpl> FilePersist::createRuntime(IAppletInstaller& installer) {
  static constexpr const char* kFunction = "FilePersist::createRuntime";
  auto runtime = std::make_unique<JCRuntimeImpl>(this);

  // Never through a symbolic link, and never blocking on a FIFO: whatever sits
  // at the container's name and is not a regular file is an unreadable card.
  const container::OpenedContainer opened = container::openContainer(path_);
  if (!opened.file.valid()) {
    const int error = opened.error;
    if (error == ENOENT || error == ENOTDIR) return runtime;  // no card stored yet
    unreadable_ = true;
    refuseLoad(status::hresultFromErrno(error), openFailure(error));
    QTRACE(trace::kError, kFunction, "FilePersist::createRuntime: open %s hr=0x%08X, starting fresh", path_.c_str(),
           status::hresultFromErrno(error));
    return runtime;
  }
  if (opened.regular() && opened.info.st_size == 0) return runtime;

  const std::uint32_t hr = loadInto(*runtime, installer, opened.file.get());
  if (hr != status::S_OK)
    QTRACE(trace::kError, kFunction, "FilePersist::createRuntime: loadInto hr=0x%08X, starting fresh", hr);
  return runtime;
}

std::optional<ossl::SecureBytes> FilePersist::snapshotHeap(IJCRuntime& runtime) {
  static constexpr const char* kFunction = "FilePersist::snapshotHeap";
  IApplet* applet = runtime.getApplet();
  if (applet == nullptr) {
    QTRACE(trace::kError, kFunction, "snapshotHeap: no applet or null pSize");
    return std::nullopt;
  }
  XmlWriteArchive archive(runtime);
  applet->serialize(archive);
  if (archive.failed()) {
    QTRACE(trace::kError, kFunction, "snapshotHeap: XML serialization failed");
    return std::nullopt;
  }
  std::optional<ossl::SecureBytes> document = archive.detachStream();
  if (!document) {
    QTRACE(trace::kError, kFunction, "snapshotHeap: detachStream returned null");
    return std::nullopt;
  }
  QTRACE(trace::kVerbose, kFunction, "snapshotHeap: XML size = %zu bytes", document->size());
  return document;
}

std::uint32_t FilePersist::restoreHeap(std::span<const std::uint8_t> xml, IJCRuntime& runtime,
                                       IAppletInstaller& installer, std::string* fault) {
  static constexpr const char* kFunction = "FilePersist::restoreHeap";
  if (xml.data() == nullptr || xml.empty()) {
    QTRACE(trace::kError, kFunction, "restoreHeap: null or empty buffer");
    if (fault != nullptr) *fault = "there is no state document";
    return status::E_INVALIDARG;
  }
  runtime.setApplet(nullptr);
  // The archive borrows the caller's bytes, which outlive it.
  XmlReadArchive archive(xml, runtime);
  IApplet* applet = installer.install(runtime);
  if (applet == nullptr) {
    QTRACE(trace::kError, kFunction, "restoreHeap: install failed");
    if (fault != nullptr) *fault = "no applet could be installed to read it";
    return status::E_OUTOFMEMORY;
  }
  runtime.setApplet(applet);
  try {
    applet->serialize(archive);
  } catch (...) {
    // Said before the archive goes: a value the card refused, or where reading stood.
    if (fault != nullptr)
      *fault = !archive.fault().empty() ? archive.fault()
                                        : "the card could not be rebuilt from it (stopped " + archive.position() + ")";
    throw;
  }
  if (archive.failed()) {
    QTRACE(trace::kError, kFunction, "restoreHeap: XML deserialization failed");
    if (fault != nullptr) *fault = archive.fault().empty() ? "the document cannot be read" : archive.fault();
    return status::E_FAIL;
  }
  QTRACE(trace::kVerbose, kFunction, "restoreHeap: OK");
  return status::S_OK;
}

}  // namespace quillon

#include "container/FilePersist.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
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

std::uint32_t hresultFromErrno(int error) noexcept {
  const std::uint32_t hr = status::hresultFromWin32(status::win32FromErrno(error));
  return hr != 0 ? hr : status::E_FAIL;  // a failure never reads as success
}

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

std::string containerPath(const std::string& drive) {
  std::string path = drive;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!path.empty() && path.back() != '/') path += '/';
  return path + FilePersist::kContainerName;
}

void traceReplaceFailure(container::ReplaceStep step, std::uint32_t hr) noexcept {
  static constexpr const char* kFunction = "FilePersist::save";
  switch (step) {
    case container::ReplaceStep::kCreate:
      QTRACE(trace::kError, kFunction, "FilePersist::save: CreateFileW failed hr=0x%08X", hr);
      return;
    case container::ReplaceStep::kWrite:
      QTRACE(trace::kError, kFunction, "FilePersist::save: WriteFile failed hr=0x%08X", hr);
      return;
    case container::ReplaceStep::kFlush:
      QTRACE(trace::kError, kFunction, "FilePersist::save: FlushFileBuffers failed hr=0x%08X", hr);
      return;
    case container::ReplaceStep::kRename:
      QTRACE(trace::kError, kFunction, "FilePersist::save: MoveFileExW failed hr=0x%08X", hr);
      return;
    case container::ReplaceStep::kFlushDirectory:
    case container::ReplaceStep::kDone:
      QTRACE(trace::kError, kFunction, "FilePersist::save: FlushFileBuffers (directory) failed hr=0x%08X", hr);
      return;
  }
}

}  // namespace

FilePersist::FilePersist(std::string path, bool encrypted) : path_(std::move(path)), encrypted_(encrypted) {}

FilePersist::FilePersist(const char* serial, const char* vendor, const char* product, const char* revision,
                         const std::string& drive)
    : FilePersist(containerPath(drive), true) {
  keyValid_ = container::DeriveDeviceKey(serial, vendor, product, revision, key_.data());
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
  if (encrypted_ && !keyValid_) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: no device key, refusing to write %s", path_.c_str());
    return kNoDeviceKey;
  }
  if (unreadable_) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: %s could not be loaded, refusing to overwrite it",
           path_.c_str());
    return kUnreadableContainer;
  }

  std::optional<ossl::SecureBytes> xml = snapshotHeap(runtime);
  if (!xml) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: snapshotHeap failed");
    return status::E_FAIL;
  }
  // The loader refuses a larger document: writing it would lose the card.
  if (xml->size() > container::kDecompressedCap) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: document of %zu bytes exceeds cap %zu", xml->size(),
           container::kDecompressedCap);
    return status::HRESULT_FILE_TOO_LARGE;
  }
  std::array<std::uint8_t, 32> digest{};
  if (!container::Sha256(xml->data(), xml->size(), digest.data())) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: Sha256 failed");
    return status::E_FAIL;
  }
  if (CRYPTO_memcmp(digest.data(), lastHash_.data(), digest.size()) == 0) {
    QTRACE(trace::kVerbose, kFunction, "FilePersist::save: no change, skipping write");
    runtime.noteStateStored();
    return status::S_OK;
  }

  ossl::SecureBytes compressed;
  std::uint32_t hr = container::CabinetCompress(encoder(), xml->data(), xml->size(), compressed);
  xml.reset();  // wiped as soon as it is no longer needed
  if (hr != status::S_OK) {
    QTRACE(trace::kError, kFunction, "FilePersist::save: CabinetCompress hr=0x%08X", hr);
    return hr;
  }
  std::vector<std::uint8_t> sealed;
  std::span<const std::uint8_t> bytes(compressed);
  if (encrypted_) {
    hr = container::AesGcmEncrypt(key_.data(), compressed.data(), compressed.size(), sealed);
    if (hr != status::S_OK) {
      QTRACE(trace::kError, kFunction, "FilePersist::save: AesGcmEncrypt hr=0x%08X", hr);
      return hr;
    }
    bytes = sealed;
  }

  // A temporary file renamed over the container: a failure at any point leaves
  // the previous card whole. A plain copy holds the card in clear: no name may
  // hold it before it is complete, nor after its writer is killed.
  const container::ReplaceResult result =
      encrypted_ ? container::ReplaceFileAtomically(path_, bytes) : container::ReplaceClearFile(path_, bytes);
  if (!result.ok()) {
    hr = hresultFromErrno(result.error);
    traceReplaceFailure(result.step, hr);
    return hr;
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
  if (encrypted_ && !keyValid_) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: no device key, refusing to read %s", path_.c_str());
    return refuseLoad(kNoDeviceKey, "no container key can be derived from the device's identity");
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    const std::uint32_t hr = hresultFromErrno(error);
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: GetFileSizeEx hr=0x%08X", hr);
    return refuseLoad(hr, "it cannot be read (" + std::string(std::strerror(error)) + ")");
  }
  if (!S_ISREG(info.st_mode)) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: not a regular file (mode 0%o)",
           static_cast<unsigned>(info.st_mode));
    return refuseLoad(status::E_ACCESSDENIED, "it is not a regular file");
  }
  const std::int64_t fileSize = info.st_size;
  if (fileSize < 0 || static_cast<std::uint64_t>(fileSize) > kMaxContainerBytes) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: file too large (%" PRId64 " bytes)", fileSize);
    return refuseLoad(status::HRESULT_FILE_TOO_LARGE, "it is larger than any card (more than 8 MiB)");
  }
  const auto size = static_cast<std::size_t>(fileSize);
  if (encrypted_ && size < container::kGcmOverhead) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: encrypted payload too small (%zu)", size);
    return refuseLoad(status::E_INVALIDARG, "it is too short to hold a card (" + std::to_string(size) + " bytes)");
  }

  ossl::SecureBytes file;
  try {
    file.resize(size);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: HeapAlloc(%zu) failed", size);
    return refuseLoad(status::E_OUTOFMEMORY, "there is not enough memory to read it");
  }
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pread(fd, file.data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A file that shrank under us ends early: an error, not a short success.
      const int error = errno;
      const std::uint32_t hr = n < 0 ? hresultFromErrno(error) : status::hresultFromWin32(status::ERROR_HANDLE_EOF);
      QTRACE(trace::kError, kFunction, "FilePersist::loadInto: ReadFile hr=0x%08X", hr);
      return refuseLoad(hr, n < 0 ? "it cannot be read (" + std::string(std::strerror(error)) + ")"
                                  : std::string("it grew shorter while it was read"));
    }
    done += static_cast<std::size_t>(n);
  }

  ossl::SecureBytes decrypted;
  const ossl::SecureBytes* payload = &file;
  if (encrypted_) {
    const std::uint32_t hr = container::AesGcmDecrypt(key_.data(), file.data(), file.size(), decrypted);
    if (hr != status::S_OK) {
      QTRACE(trace::kError, kFunction, "FilePersist::loadInto: AesGcmDecrypt hr=0x%08X", hr);
      // The tag fails alike for another device's key and for changed bytes.
      return refuseLoad(hr, hr == status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH)
                                ? "it belongs to another USB stick, or it is damaged"
                                : "it cannot be decrypted (" + std::string(statusText(hr)) + ")");
    }
    payload = &decrypted;
  }
  ossl::SecureBytes xml;
  std::uint32_t hr = container::CabinetDecompress(decoder(), payload->data(), payload->size(), xml);
  if (hr != status::S_OK) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: CabinetDecompress hr=0x%08X", hr);
    return refuseLoad(hr, hr == status::HRESULT_FILE_TOO_LARGE ? "its state is larger than any card's (2 MiB)"
                                                               : "its compressed state is damaged");
  }
  std::string fault;
  try {
    hr = restoreHeap(xml, runtime, installer, &fault);
  } catch (...) {
    // A value the card refuses, or an exception of the runtime while it rebuilds
    // the applet: the card is refused, and told why.
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: restoreHeap threw");
    return refuseLoad(kDamagedState,
                      fault.empty() ? "its state could not be rebuilt" : "its state is damaged: " + fault);
  }
  if (hr != status::S_OK) {
    QTRACE(trace::kError, kFunction, "FilePersist::loadInto: restoreHeap hr=0x%08X", hr);
    return refuseLoad(hr, "its state is damaged: " + fault);
  }
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
  FileHandle file(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return runtime;  // no card stored yet
    unreadable_ = true;
    refuseLoad(hresultFromErrno(error), openFailure(error));
    QTRACE(trace::kError, kFunction, "FilePersist::createRuntime: open %s hr=0x%08X, starting fresh", path_.c_str(),
           hresultFromErrno(error));
    return runtime;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) return runtime;

  const std::uint32_t hr = loadInto(*runtime, installer, file.get());
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

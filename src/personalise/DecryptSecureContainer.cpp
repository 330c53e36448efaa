#include "personalise/DecryptSecureContainer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/FileHandle.h"
#include "base/OpenSsl.h"
#include "base/Status.h"
#include "base/Trace.h"
#include "container/AtomicFile.h"
#include "container/CabinetCodec.h"
#include "container/ContainerFile.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "personalise/CardWriter.h"

namespace quillon {

namespace {

constexpr const char* kFn = "DecryptSecureContainer";

// Reads a whole regular file (no links followed); an HRESULT.
std::uint32_t readWholeFile(const char* path, ossl::SecureBytes& out) {
  const container::OpenedContainer opened = container::openContainer(path);
  const FileHandle& file = opened.file;
  const struct stat& st = opened.info;
  if (!file.valid()) return status::hresultFromErrno(opened.error);
  if (!opened.regular()) return status::hresultFromWin32(status::ERROR_INVALID_DATA);
  if (static_cast<std::uint64_t>(st.st_size) > FilePersist::kMaxContainerBytes) return status::HRESULT_FILE_TOO_LARGE;
  out.assign(static_cast<std::size_t>(st.st_size), 0);
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(file.get(), out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return status::hresultFromErrno(errno);
    if (n == 0) return status::hresultFromWin32(status::ERROR_HANDLE_EOF);
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

std::uint32_t DecompressFileToFile() {
  const char* fn = "DecompressFileToFile";
  ossl::SecureBytes compressed;
  if (const std::uint32_t hr = readWholeFile(kDecryptedPayloadFile, compressed)) return hr;
  QTRACE(trace::kInformation, fn, "Appel CabinetDecompress pour %s", kDecryptedPayloadFile);
  ossl::SecureBytes xml;
  if (const std::uint32_t hr = container::CabinetDecompress(compressed.data(), compressed.size(), xml)) {
    QTRACE(trace::kError, fn, "CabinetDecompress a Ã©chouÃ©: 0x%08X", hr);
    return hr;
  }
  const container::ReplaceResult written = container::ReplaceClearFile(kDecryptedXmlFile, xml);
  if (!written.ok()) return status::hresultFromErrno(written.error);
  QTRACE(trace::kInformation, fn, "Fichier dÃ©compressÃ© Ã©crit avec succÃ¨s: %d octets", static_cast<int>(xml.size()));
  return 0;
}

std::uint32_t DecryptSecureContainer(const std::string& drive, const DeviceIdentity* given,
                                     const platform::SystemPaths& paths, std::string* failure) {
  QTRACE(trace::kInformation, kFn, "Ouverture du device: %s", drive.c_str());
  FileHandle dir(::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    const std::uint32_t error = status::win32FromErrno(errno);
    QTRACE(trace::kError, kFn, "Impossible d'ouvrir le device, erreur: %d", static_cast<int>(error));
    return error;
  }
  dir.close();

  DeviceIdentity identity;
  if (const std::uint32_t error = resolveIdentity(drive, given, paths, identity)) {
    const std::uint32_t hr = status::hresultFromWin32(error);
    QTRACE(trace::kError, kFn, "GetDeviceDetails Ã©chouÃ©: 0x%08X", hr);
    return hr;
  }

  QTRACE(trace::kInformation, kFn, "Initialisation FilePersist pour le device...");
  try {
    FilePersist device(identity, drive);
    QTRACE(trace::kInformation, kFn, "CrÃ©ation du JCRuntime...");
    GidsAppletInstaller installer;
    std::unique_ptr<JCRuntimeImpl> runtime = device.createRuntime(installer);
    // A card that did not load is no card to write out.
    if (!device.hasKey()) return FilePersist::kNoDeviceKey;
    if (device.refusesSaving()) {
      if (failure != nullptr) *failure = "the card in " + device.path() + " cannot be opened: " + device.loadFailure();
      return device.loadStatus() != 0 ? device.loadStatus() : FilePersist::kUnreadableContainer;
    }
    if (runtime->getApplet() == nullptr) return status::hresultFromWin32(status::ERROR_FILE_NOT_FOUND);

    // Outputs of an earlier run are never taken for this one's.
    ::unlink(kDecryptedPayloadFile);
    ::unlink(kDecryptedXmlFile);
    FilePersist plain = FilePersist::plain(kDecryptedPayloadFile);
    if (const std::uint32_t hr = plain.save(*runtime)) return hr;
    QTRACE(trace::kInformation, kFn, "Lancement de la dÃ©compression finale...");
    if (const std::uint32_t hr = DecompressFileToFile()) return hr;
    QTRACE(trace::kInformation, kFn, "Nettoyage des objets terminÃ©.");
    return 0;
  } catch (...) {
    QTRACE(trace::kError, kFn, "Exception critique capturÃ©e dans DecryptSecureContainer");
    return status::E_FAIL;
  }
}

}  // namespace quillon

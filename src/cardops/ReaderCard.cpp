#include "cardops/ReaderCard.h"

#include <sys/stat.h>

#include <vector>

#include "base/Status.h"
#include "base/Trace.h"
#include "cardops/StoredCard.h"
#include "container/ContainerFile.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "personalise/CardWriter.h"
#include "personalise/DevicePath.h"
#include "personalise/FormatCard.h"
#include "personalise/ReaderConnection.h"
#include "platform/VolumePath.h"

namespace quillon::cardops {

namespace {

constexpr const char* kFn = "ReaderCard";
constexpr const char* kNoCard = "The virtual reader has no card.";

// The reader's card as a channel: the answer's last two bytes are its status word.
class ReaderChannel final : public CardChannel {
 public:
  explicit ReaderChannel(ReaderConnection& reader) : reader_(reader) {}
  std::uint32_t transmit(std::span<const std::uint8_t> command, Answer& answer) override {
    ossl::SecureBytes response;
    if (const std::uint32_t status = reader_.transmit(command, response)) return status;
    if (response.size() < 2) return status::E_UNEXPECTED;
    answer.sw = static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
    answer.data.assign(response.begin(), response.end() - 2);
    return 0;
  }

 private:
  ReaderConnection& reader_;
};

Result failed(Outcome outcome, std::string message) { return {outcome, std::move(message), -1}; }

// A failed PC/SC step as the user is told it: a missing service or reader is no
// reader (kNoCard), anything else a failure of the reader.
Result readerFailure(const char* step, std::uint32_t status) {
  QTRACE(trace::kError, kFn, "%s 0x%08x", step, status);
  if (status == status::SCARD_E_NO_SERVICE || status == status::SCARD_E_SERVICE_STOPPED)
    return failed(Outcome::kNoCard, "The smart-card service (pcscd) is not running.");
  if (status == status::SCARD_E_NO_READERS_AVAILABLE || status == status::SCARD_E_UNKNOWN_READER ||
      status == status::SCARD_E_READER_UNAVAILABLE)
    return failed(Outcome::kNoCard, "The Brindleworth virtual reader was not found.");
  if (status == status::SCARD_E_NO_SMARTCARD || status == status::SCARD_W_REMOVED_CARD)
    return failed(Outcome::kNoCard, kNoCard);
  return failed(Outcome::kFailed, std::string("The virtual reader failed (") + step + "): " + statusMessage(status));
}

// Context, reader list and the virtual reader's name: kDone with `name` set, or why not.
Result findReader(ReaderConnection& reader, const char*& name) {
  if (const std::uint32_t status = reader.establishContext()) return readerFailure("SCardEstablishContext", status);
  if (const std::uint32_t status = reader.listReaders()) return readerFailure("SCardListReaders", status);
  name = reader.findVirtualReader();
  if (name == nullptr) return readerFailure("find the reader", status::SCARD_E_NO_READERS_AVAILABLE);
  return {};
}

// The volume the reader serves, through a direct connection: "" for none.
std::uint32_t servedVolume(ReaderConnection& reader, const char* name, std::string& volume) {
  volume.clear();
  if (const std::uint32_t status = reader.connect(name)) return status;
  std::vector<std::uint8_t> answer;
  if (const std::uint32_t status = reader.control(ReaderConnection::kGetVolume, nullptr, 0, &answer)) return status;
  if (answer.empty()) return 0;
  return platform::decodeDevicePath(answer, volume) ? 0 : status::hresultFromWin32(status::ERROR_INVALID_DATA);
}

// A served volume as the user knows it: where it is mounted, else its device path.
std::string describeVolume(const std::string& volume, const platform::SystemPaths& paths) {
  std::string mountPoint;
  if (platform::findVolumeMount(paths, volume, mountPoint) == 0) return "the stick mounted at " + mountPoint;
  return "the stick of " + volume + " (not mounted)";
}

// Nothing is sent to the reader unless `drive` holds a card that opens with its
// stick's identity; its device path then goes into `devicePath`.
Result checkDrive(const std::string& drive, const platform::SystemPaths& paths, std::string& devicePath) {
  if (drive.empty()) return failed(Outcome::kInvalidInput, "No drive has been selected.");
  if (const std::uint32_t status = BuildPnpPathFromDriveLetter(drive, devicePath, paths))
    return failed(Outcome::kInvalidInput,
                  drive + " is not the mount point of a volume that the virtual reader can serve (" +
                      statusMessage(status) + ").");
  const std::string container = container::containerPathOn(drive);
  struct stat st {};
  if (::lstat(container.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return failed(Outcome::kInvalidInput,
                  "There is no card on " + drive + " (no " + FilePersist::kContainerName + ").");
  DeviceIdentity identity;
  if (const std::uint32_t status = resolveIdentity(drive, nullptr, paths, identity))
    return failed(Outcome::kInvalidInput, drive + " is not a usable removable drive: " + statusMessage(status) + ".");
  const container::DriveLock lock(drive, container::DriveLock::kWriterWait);
  if (!lock.locked()) return failed(Outcome::kFailed, "The card on " + drive + " is in use by another program.");
  GidsAppletInstaller installer;
  std::string error;
  LoadFailure why = LoadFailure::kNone;
  if (!loadStoredCard(drive, identity, installer, error, &why)) {
    QTRACE(trace::kWarning, kFn, "insert: %s", error.c_str());
    return failed(Outcome::kInvalidInput, "The card on " + drive + " does not open with this stick's identity (" +
                                              error + "); nothing was sent to the virtual reader.");
  }
  return {};
}

}  // namespace

ReaderStatus readReaderStatus(const PcscApi& pcsc) {
  ReaderStatus result;
  ReaderConnection reader(pcsc);
  if (const std::uint32_t status = reader.establishContext()) {
    result.error = status;
    return result;
  }
  if (const std::uint32_t status = reader.listReaders()) {
    if (status != status::SCARD_E_NO_READERS_AVAILABLE) result.error = status;
    return result;
  }
  const char* name = reader.findVirtualReader();
  if (name == nullptr) return result;
  result.readerFound = true;
  result.readerName = name;
  pcsc::Dword state = 0;
  if (const std::uint32_t status = reader.readerState(name, state)) {
    result.error = status;
    return result;
  }
  result.cardPresent = (state & pcsc::kStatePresent) != 0;
  result.error = servedVolume(reader, name, result.volume);
  return result;
}

Result withReaderCard(const std::function<Result(CardChannel&)>& work, const PcscApi& pcsc) {
  ReaderConnection reader(pcsc);  // ends the transaction with a reset on every way out
  const char* name = nullptr;
  if (Result found = findReader(reader, name); found.outcome != Outcome::kDone) return found;
  if (const std::uint32_t status = reader.connectShared(name)) return readerFailure("SCardConnect", status);
  if (const std::uint32_t status = reader.beginTransaction()) return readerFailure("SCardBeginTransaction", status);
  ReaderChannel channel(reader);
  Result result = work(channel);
  if (const std::uint32_t status = reader.endTransaction()) {
    QTRACE(trace::kError, kFn, "SCardEndTransaction(reset) 0x%08x", status);
    if (result.outcome == Outcome::kDone)
      return failed(Outcome::kFailed, "The card could not be reset afterwards: " + statusMessage(status) + ".");
  }
  return result;
}

Result ejectReaderCard(const PcscApi& pcsc) {
  ReaderConnection reader(pcsc);
  const char* name = nullptr;
  if (Result found = findReader(reader, name); found.outcome != Outcome::kDone) return found;
  if (const std::uint32_t status = reader.connect(name)) return readerFailure("SCardConnect", status);
  if (const std::uint32_t status = reader.control(ReaderConnection::kEject))
    return failed(Outcome::kFailed, "The virtual reader did not eject its card: " + statusMessage(status) + ".");
  QTRACE(trace::kInformation, kFn, "eject: done");
  return {};
}

Result insertCard(const std::string& drive, const platform::SystemPaths& paths, const PcscApi& pcsc) {
  std::string devicePath;
  if (Result checked = checkDrive(drive, paths, devicePath); checked.outcome != Outcome::kDone) return checked;

  ReaderConnection reader(pcsc);
  const char* name = nullptr;
  if (Result found = findReader(reader, name); found.outcome != Outcome::kDone) return found;
  std::string served;
  if (const std::uint32_t status = servedVolume(reader, name, served)) {
    if (status == status::SCARD_E_NO_SERVICE || status == status::SCARD_E_READER_UNAVAILABLE)
      return readerFailure("SCardConnect", status);
    return failed(Outcome::kFailed, "The virtual reader cannot tell which stick it serves (" + statusMessage(status) +
                                        "); nothing was sent to it.");
  }
  if (!served.empty() && served != devicePath) {
    QTRACE(trace::kWarning, kFn, "insert: the reader serves %s", served.c_str());
    return failed(Outcome::kDeclined, "The virtual reader serves the card of another stick, " +
                                          describeVolume(served, paths) +
                                          ". Eject it first (quillon-card eject); nothing was sent.");
  }
  const std::vector<std::uint8_t> input = platform::encodeDevicePath(devicePath);  // checked by checkDrive
  if (const std::uint32_t status = reader.control(ReaderConnection::kSwallow, input.data(), input.size()))
    return failed(Outcome::kFailed, "The virtual reader did not take up the card: " + statusMessage(status) + ".");
  QTRACE(trace::kInformation, kFn, "insert: the reader serves %s", devicePath.c_str());
  return {};
}

}  // namespace quillon::cardops

// The card initialisation request as the wizard and quillon-card share it: the
// drive, PIN, administrator key and serial number are checked in a fixed order
// with a message for each fault, existing containers and default secrets are
// warned about, and the card is created. The user interface is the caller's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/OpenSsl.h"
#include "personalise/CreateSecureContainer.h"

namespace quillon {

inline constexpr const char* kDefaultPin = "7931";
inline constexpr const char* kDefaultAdminKey = "3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F21";
// Told once a 16-digit PIN is set.
inline constexpr const char* kLongPinNote =
    "OpenSC, and the browsers and ssh that use it, take PINs of at most 15 digits: this PIN opens the card, "
    "but not through them.";

// What the request asks of its user.
class FormatCardUi {
 public:
  virtual void showError(const char* message) = 0;
  virtual bool askYesNo(const char* question) = 0;

 protected:
  ~FormatCardUi() = default;
};

struct FormatCardInput {
  std::string drive;                         // a directory, the mount point of the volume
  const DeviceIdentity* identity = nullptr;  // null: read from the drive's device
  ossl::SecureBytes pin;                     // as typed; wiped by FormatCard
  ossl::SecureBytes adminKey;                // 48 hexadecimal characters as typed; wiped by FormatCard
  std::string serial;                        // 32 hexadecimal characters, as typed
};

enum class FormatOutcome { kCreated, kInvalidInput, kDeclined, kFailed };

// Creates the card: CreateSecureContainer, or the reader-aware creation the caller gives.
using CardCreator = std::function<std::uint32_t(const char* pin, const std::uint8_t adminKey[24], const char* serial,
                                                const std::string& drive, const DeviceIdentity* identity)>;

// A request that passed the checks: everything the card creation is given, in
// storage of its own, so that it may outlive the input and be read from another
// thread. Its secrets are wiped when it is destroyed.
struct FormatRequest {
  ossl::SecureBytes pin;       // the digits and a terminating NUL
  ossl::SecureBytes adminKey;  // 24 bytes
  std::string serial;
  std::string drive;
  std::optional<DeviceIdentity> identity;
  const char* note = nullptr;  // to tell the user once the card exists, or null

  std::uint32_t create(const CardCreator& creator) const;
};

// The checks and warnings of the request, in their order. Returns the request
// ready to be created, or null with `stopped` saying why (the user has been told).
// The input's secrets are wiped either way.
std::shared_ptr<FormatRequest> CheckFormatRequest(FormatCardInput& input, FormatCardUi& ui, FormatOutcome& stopped);

// Traces the card creation's result as the request reports it.
void traceFormatResult(std::uint32_t status);

struct FormatCardResult {
  FormatOutcome outcome;
  std::uint32_t status = 0;    // the creation's status when it failed
  std::string serial;          // the serial number the card received
  const char* note = nullptr;  // FormatRequest::note, once the card exists
};

// The whole request on the caller's thread: checks, creation, and an error
// message when the creation fails.
FormatCardResult FormatCard(FormatCardInput& input, FormatCardUi& ui, const CardCreator& create);

// 48 hexadecimal characters (a-f are first upper-cased in place) to 24 bytes.
bool HexStringToBytes(char* text, std::uint8_t bytes[24]);

// 32 upper-case hexadecimal characters of 16 random bytes.
bool GenerateSerialNumber(std::string& serial);

// How a failed creation is shown to the user:
// "0x%08X - <system text>", "(unknown error)" when there is none.
std::string statusMessage(std::uint32_t status);

}  // namespace quillon

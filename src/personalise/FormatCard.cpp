#include "personalise/FormatCard.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/Hex.h"
#include "base/Status.h"
#include "base/Trace.h"
#include "container/ContainerFile.h"

namespace quillon {

namespace {
constexpr const char* kFn = "FormatCard";
constexpr std::size_t kAdminKeyChars = 48;
constexpr std::size_t kSerialChars = 32;
constexpr std::size_t kLongestPin = 16;

bool isHexDigit(char c) { return hex::digitValue(c) >= 0; }
}  // namespace

bool HexStringToBytes(char* text, std::uint8_t bytes[24]) {
  for (std::size_t i = 0; i < kAdminKeyChars; ++i) {
    if (text[i] >= 'a' && text[i] <= 'f') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    const int v = hex::digitValue(text[i]);
    if (v < 0) {
      QTRACE(trace::kError, "HexStringToBytes", "HexStringToBytes: invalid character '%c' at position %u", text[i],
             static_cast<unsigned>(i));
      return false;
    }
    if (i % 2 == 0)
      bytes[i / 2] = static_cast<std::uint8_t>(v << 4);
    else
      bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] | v);
  }
  QTRACE(trace::kVerbose, "HexStringToBytes", "HexStringToBytes: converted %u hex chars to %u bytes", 48u, 24u);
  return true;
}

bool GenerateSerialNumber(std::string& serial) {
  QTRACE(trace::kVerbose, "GenerateSerialNumber", "GenerateSerialNumber");
  std::uint8_t random[16];
  if (RAND_bytes(random, sizeof random) != 1) {
    QTRACE(trace::kError, "GenerateSerialNumber", "GenerateSerialNumber: CryptGenRandom failed 0x%08x", status::E_FAIL);
    return false;
  }
  serial = hex::encode(random);
  QTRACE(trace::kInformation, "GenerateSerialNumber", "GenerateSerialNumber: generated %s", serial.c_str());
  return true;
}

std::string statusMessage(std::uint32_t code) {
  const char* text = status::messageText(code);
  char line[1024];
  std::snprintf(line, sizeof line, "0x%08X - %s", code, text != nullptr ? text : "(unknown error)");
  return line;
}

std::uint32_t FormatRequest::create(const CardCreator& creator) const {
  return creator(ossl::chars(pin), adminKey.data(), serial.c_str(), drive, identity ? &*identity : nullptr);
}

std::shared_ptr<FormatRequest> CheckFormatRequest(FormatCardInput& input, FormatCardUi& ui, FormatOutcome& stopped) {
  // Whatever the way out, the input's secrets do not outlive the checks.
  struct Wipe {
    FormatCardInput& input;
    ~Wipe() {
      OPENSSL_cleanse(input.pin.data(), input.pin.size());
      OPENSSL_cleanse(input.adminKey.data(), input.adminKey.size());
    }
  } wipe{input};
  auto fail = [&](const char* message) -> std::shared_ptr<FormatRequest> {
    ui.showError(message);
    stopped = FormatOutcome::kInvalidInput;
    return nullptr;
  };
  auto declined = [&]() -> std::shared_ptr<FormatRequest> {
    stopped = FormatOutcome::kDeclined;
    return nullptr;
  };

  QTRACE(trace::kVerbose, kFn, "FormatCard");
  if (input.drive.empty()) {
    QTRACE(trace::kError, kFn, "FormatCard: no drive selected");
    return fail("No drive has been selected.");
  }
  QTRACE(trace::kInformation, kFn, "FormatCard: drive = %s", input.drive.c_str());

  const std::string container = container::containerPathOn(input.drive);
  struct stat st {};
  if (::lstat(container.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    QTRACE(trace::kWarning, kFn, "FormatCard: existing container found at %s", container.c_str());
    if (!ui.askYesNo("Warning: a secure container already exists on this device. Continue?")) {
      QTRACE(trace::kInformation, kFn, "FormatCard: user chose not to overwrite");
      return declined();
    }
  }

  const std::size_t pinLength = input.pin.size();
  if (pinLength < 4 || pinLength > 16) {
    QTRACE(trace::kError, kFn, "FormatCard: PIN length %zu is out of range [4,16]", pinLength);
    return fail("The PIN must be between 4 and 16 digits long.");
  }
  for (std::size_t i = 0; i < pinLength; ++i) {
    if (input.pin[i] < '0' || input.pin[i] > '9') {
      QTRACE(trace::kError, kFn, "FormatCard: PIN contains non-digit character at position %zu", i);
      return fail("The PIN must contain digits only (0-9).");
    }
  }
  if (pinLength == 4 && std::memcmp(input.pin.data(), kDefaultPin, 4) == 0) {
    QTRACE(trace::kWarning, kFn, "FormatCard: default PIN is in use");
    if (!ui.askYesNo("Warning: you should change the default PIN. Continue?")) {
      QTRACE(trace::kInformation, kFn, "FormatCard: user chose to change the PIN");
      return declined();
    }
  }

  if (input.adminKey.size() != kAdminKeyChars) {
    QTRACE(trace::kError, kFn, "FormatCard: admin key length %d != %d expected hex chars",
           static_cast<int>(input.adminKey.size()), 48);
    return fail("The admin key must be 48 hexadecimal characters (24 bytes).");
  }
  auto request = std::make_shared<FormatRequest>();
  request->adminKey.assign(24, 0);
  // Converting first upper-cases the text, so the default key is recognised
  // whatever case it was typed in.
  if (!HexStringToBytes(reinterpret_cast<char*>(input.adminKey.data()), request->adminKey.data())) {
    QTRACE(trace::kError, kFn, "FormatCard: admin key contains invalid hex character");
    return fail("The admin key contains an invalid character (allowed: 0-9 A-F).");
  }
  if (CRYPTO_memcmp(input.adminKey.data(), kDefaultAdminKey, kAdminKeyChars) == 0) {
    QTRACE(trace::kWarning, kFn, "FormatCard: default admin key is in use");
    if (!ui.askYesNo("Warning: you should change the default admin key. Continue?")) {
      QTRACE(trace::kInformation, kFn, "FormatCard: user chose to change the admin key");
      return declined();
    }
  }

  if (input.serial.size() != kSerialChars) {
    QTRACE(trace::kError, kFn, "FormatCard: serial number length %zu != %d expected hex chars", input.serial.size(),
           32);
    return fail("The serial number must be exactly 32 hexadecimal characters.");
  }
  for (std::size_t i = 0; i < kSerialChars; ++i) {
    if (!isHexDigit(input.serial[i])) {
      QTRACE(trace::kError, kFn, "FormatCard: serial number contains invalid character '%c' at pos %zu",
             input.serial[i], i);
      return fail("The serial number contains an invalid character (allowed: 0-9 A-F).");
    }
  }

  // The creation takes the PIN as a C string. Moved, not copied: a buffer the
  // terminator makes the vector leave is wiped by its allocator.
  request->pin = std::move(input.pin);
  request->pin.push_back(0);
  request->serial = input.serial;
  request->drive = input.drive;
  if (input.identity != nullptr) request->identity = *input.identity;
  if (pinLength == kLongestPin) request->note = kLongPinNote;
  QTRACE(trace::kInformation, kFn, "FormatCard: all inputs validated, spawning worker thread");
  return request;
}

void traceFormatResult(std::uint32_t status) {
  if (status != 0)
    QTRACE(trace::kError, kFn, "FormatCard: Format() returned 0x%08x", status);
  else
    QTRACE(trace::kInformation, kFn, "FormatCard: GIDS card initialised successfully");
}

FormatCardResult FormatCard(FormatCardInput& input, FormatCardUi& ui, const CardCreator& create) {
  FormatOutcome stopped = FormatOutcome::kInvalidInput;
  const std::shared_ptr<FormatRequest> request = CheckFormatRequest(input, ui, stopped);
  if (request == nullptr) return FormatCardResult{stopped, 0, {}};
  FormatCardResult result{FormatOutcome::kCreated, request->create(create), request->serial, request->note};
  traceFormatResult(result.status);
  if (result.status != 0) {
    result.outcome = FormatOutcome::kFailed;
    result.note = nullptr;
    ui.showError(statusMessage(result.status).c_str());
  }
  return result;
}

}  // namespace quillon

#include "personalise/CreateSecureContainer.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <span>
#include <string_view>

#include "base/Hex.h"
#include "base/Status.h"
#include "base/Trace.h"
#include "container/DeviceKey.h"
#include "personalise/CardWriter.h"
#include "personalise/ScriptExecutor.h"

namespace quillon {

namespace {

constexpr const char* kFn = "CreateSecureContainer";

// The fixed part of the script around the three commands built from the inputs.
constexpr const char* kMasterFile =
    "00DBA00091DF1F818D016d736370000000000000000000000000000000000000000000a00000000000000000000000636172646964"
    "000000000020df000012a00000000000000000000000636172646170707300000021df000010a0000000000000000000000063617264"
    "6366000000000022df000010a000006d7363700000000000636d617066696c6500000023df000010a00000";

// A command's text assembled straight into wiped storage: no piece of a secret
// is ever left in a buffer that goes back to the heap unwiped.
class CommandText {
 public:
  explicit CommandText(std::size_t length) { text_.reserve(length + 1); }
  CommandText& add(std::string_view part) {
    text_.insert(text_.end(), part.begin(), part.end());
    return *this;
  }
  CommandText& addHex(std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
      text_.push_back(static_cast<std::uint8_t>(hex::digit(b >> 4)));
      text_.push_back(static_cast<std::uint8_t>(hex::digit(b)));
    }
    return *this;
  }
  ossl::SecureBytes finish() {
    text_.push_back('\0');
    return std::move(text_);
  }

 private:
  ossl::SecureBytes text_;
};

ossl::SecureBytes literal(std::string_view text) { return CommandText(text.size()).add(text).finish(); }

}  // namespace

bool parseIdentity(std::string_view text, DeviceIdentity& identity, std::string* reason) {
  auto refuse = [reason](const char* why) {
    if (reason != nullptr) *reason = why;
    return false;
  };
  if (text.size() > container::kMaxIdentityChars)
    return refuse("the identity is longer than the 259 characters a device's identity can have");
  for (const char c : text)
    if (c < 0x20 || c > 0x7E) return refuse("the identity holds a character that is not printable ASCII");
  std::string_view fields[4];
  for (std::size_t i = 0; i < 3; ++i) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return refuse("the identity must be VENDOR:PRODUCT:REVISION:SERIAL");
    fields[i] = text.substr(0, colon);
    text.remove_prefix(colon + 1);
  }
  fields[3] = text;
  static constexpr const char* kTrailingBlank[] = {
      "the vendor ends with a blank, which a device's identity never does",
      "the product ends with a blank, which a device's identity never does",
      "the revision ends with a blank, which a device's identity never does",
      "the serial number ends with a blank, which a device's identity never does"};
  for (std::size_t i = 0; i < 4; ++i)
    if (!fields[i].empty() && fields[i].back() == ' ') return refuse(kTrailingBlank[i]);
  identity = {std::string(fields[0]), std::string(fields[1]), std::string(fields[2]), std::string(fields[3])};
  return true;
}

std::vector<ScriptCommand> personalisationScript(const char* pin, const std::uint8_t adminKey[24], const char* serial) {
  const std::size_t pinLength = std::char_traits<char>::length(pin);
  char pinTrace[64];
  std::snprintf(pinTrace, sizeof pinTrace, "CreateSecureContainer: setting PIN (length %zu)", pinLength);
  const std::span<const std::uint8_t> pinBytes(reinterpret_cast<const std::uint8_t*>(pin), pinLength);
  const std::uint8_t lc = static_cast<std::uint8_t>(pinLength);  // the caller keeps the PIN to 16 digits

  // Built one by one: an initializer list would copy every text, secrets included.
  std::vector<ScriptCommand> script;
  script.reserve(25);
  auto add = [&script](std::string traceLine, ossl::SecureBytes text, bool secret = false) {
    script.push_back({std::move(traceLine), std::move(text), secret});
  };
  constexpr const char* kActivate = "0044000000";
  add("CreateSecureContainer: selecting GIDS applet", literal("00A4040409A0000003974254465900"));
  add(pinTrace, CommandText(10 + 2 * pinLength).add("00240180").addHex({&lc, 1}).addHex(pinBytes).finish(), true);
  // The six EF structures, each created and then activated.
  static constexpr const char* kEfStructures[] = {
      "00E000000E620C8201398302A0008C03033000", "00E000000E620C8201398302A0108C03033000",
      "00E000000E620C8201398302A0118C030330FF", "00E000000E620C8201398302A0128C03032000",
      "00E000000E620C8201398302A0138C03033030", "00E000000E620C8201398302A0148C03032020"};
  for (const char* structure : kEfStructures) {
    add(structure == kEfStructures[0] ? "CreateSecureContainer: creating EF structures" : "", literal(structure));
    add("", literal(kActivate));
  }
  add("CreateSecureContainer: creating admin key EF",
      literal("00 E0 00 00 1C 62 1A 82 01 18 83 02 B0 80 8C 04 87 00 20 FF A5 0B A4 09 80 01 02 83 01 80 95 01 C0"));
  add("", literal(kActivate));
  add("CreateSecureContainer: setting admin key",
      CommandText(86).add("00DB3FFF267024840180A51F8718").addHex({adminKey, 24}).add("8803B073DC").finish(), true);
  add("CreateSecureContainer: setting serial", CommandText(56).add("00 DB A0 12 13 DF 20 10 ").add(serial).finish());
  add("CreateSecureContainer: writing master file", literal(kMasterFile));
  add("", literal("00 DB A0 10 0B DF 21 08 6d 73 63 70 00 00 00 00"));
  add("", literal("00 DB A0 10 09 DF 22 06 00 00 00 00 00 00"));
  add("", literal("00 DB A0 10 03 DF 23 00"));
  add("", literal("00 DB A0 10 13 DF 20 10 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"));
  add("CreateSecureContainer: activating", literal("00 A4 00 0C 02 3F FF"));
  add("", literal("00 44 00 00 00"));
  return script;
}

std::uint32_t CreateSecureContainer(const char* pin, const std::uint8_t adminKey[24], const char* serial,
                                    const std::string& drive, const DeviceIdentity* given,
                                    const platform::SystemPaths& paths, const Progress& progress) {
  QTRACE(trace::kVerbose, kFn, "CreateSecureContainer: drive=%s serial=%s", drive.c_str(), serial);
  if (const std::uint32_t error = checkDriveDirectory(drive)) {
    if (error == status::ERROR_BUFFER_OVERFLOW)
      QTRACE(trace::kError, kFn, "CreateSecureContainer: drive path too long");
    else
      QTRACE(trace::kError, kFn, "CreateSecureContainer: CreateFileW(%s) failed 0x%08X", drive.c_str(), error);
    return error;
  }
  if (progress) progress("reading the device identity");
  DeviceIdentity identity;
  if (const std::uint32_t error = resolveIdentity(drive, given, paths, identity)) {
    const std::uint32_t hr = status::hresultFromWin32(error);
    QTRACE(trace::kError, kFn, "CreateSecureContainer: GetDeviceDetails failed 0x%08X", hr);
    return hr;
  }
  QTRACE(trace::kInformation, kFn, "CreateSecureContainer: vendor=%s product=%s revision=%s", identity.vendor.c_str(),
         identity.product.c_str(), identity.revision.c_str());

  return writeNewCard(
      kFn, drive, identity,
      [&](IJCRuntime& runtime) {
        if (progress) progress("personalising the card");
        std::vector<ScriptCommand> script = personalisationScript(pin, adminKey, serial);
        for (ScriptCommand& command : script) {
          if (!command.traceLine.empty()) QTRACE(trace::kInformation, kFn, "%s", command.traceLine.c_str());
          execute(runtime, command.c_str(), command.secret);
          if (command.secret) OPENSSL_cleanse(command.text.data(), command.text.size());
        }
      },
      progress);
}

}  // namespace quillon

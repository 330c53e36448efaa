#include "personalise/ScriptExecutor.h"

#include <openssl/crypto.h>

#include <string>

#include "base/Hex.h"
#include "base/Trace.h"

namespace quillon {

namespace {
constexpr std::size_t kResponseSize = 260;
constexpr std::size_t kTracedHeaderDigits = 10;  // CLA INS P1 P2 Lc

bool isBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }
}  // namespace

ossl::SecureBytes scanCommandText(const char* text) {
  ossl::SecureBytes command;
  if (text == nullptr) return command;
  command.reserve(kMaxScriptCommand);
  const char* p = text;
  while (command.size() < kMaxScriptCommand && *p != '\0') {
    const int high = hex::digitValue(*p);
    if (isBlankOrControl(*p) || high < 0) {
      ++p;
      continue;
    }
    ++p;
    while (*p != '\0' && isBlankOrControl(*p)) ++p;  // a blank may stand inside a byte
    if (*p == '\0') break;                           // a trailing lone nibble is dropped
    const int low = hex::digitValue(*p);
    ++p;
    if (low >= 0) command.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return command;
}

std::uint32_t execute(IJCRuntime& runtime, const char* text, bool secret) {
  if (secret) {
    // The PIN and the administrator key must not reach a trace file.
    const std::string header(text, std::min(std::char_traits<char>::length(text), kTracedHeaderDigits));
    QTRACE(trace::kInformation, "execute", "execute: transmit %s<hidden>", header.c_str());
  } else {
    QTRACE(trace::kInformation, "execute", "execute: transmit %s", text);
  }
  const ossl::SecureBytes command = scanCommandText(text);
  std::uint8_t response[kResponseSize];
  std::uint32_t length = kResponseSize;
  const std::uint32_t status =
      runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length);
  if (status == 0 && length >= 2) {
    const std::uint32_t sw = static_cast<std::uint32_t>(response[length - 2]) << 8 | response[length - 1];
    OPENSSL_cleanse(response, sizeof response);
    if (sw == 0x9000)
      QTRACE(trace::kVerbose, "execute", "execute: APDU returned SW=0x9000 (OK)");
    else
      QTRACE(trace::kWarning, "execute", "execute: APDU returned SW=0x%04X", sw);
    return sw;
  }
  QTRACE(trace::kError, "execute", "execute: transmit failed or response too short (st=0x%08X, cbRes=%u)", status,
         length);
  return 0;
}

}  // namespace quillon

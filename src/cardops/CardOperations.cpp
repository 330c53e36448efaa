#include "cardops/CardOperations.h"

#include <openssl/crypto.h>

#include <string>

#include "base/Hex.h"
#include "base/Trace.h"
#include "cardops/AdminAuthentication.h"
#include "cardops/CardExchange.h"
#include "cardops/CardFiles.h"
#include "cardops/DataObject.h"

namespace quillon::cardops {

namespace {
constexpr std::uint16_t kSerialFile = 0xA012;
constexpr std::uint16_t kSerialTag = 0xDF20;
constexpr std::uint16_t kContainerMapFile = 0xA010;
constexpr std::uint16_t kContainerMapTag = 0xDF23;
constexpr std::uint16_t kMasterFile = 0xA000;
constexpr std::uint16_t kMasterFileTag = 0xDF1F;
constexpr std::uint8_t kUserPin = 0x80;

enum class Found { kYes, kAbsent, kFailed };

// GET DATA of one data object of a data-object file; its value in `value`. A file
// or object the card does not hold is kAbsent; anything but the object asked for
// is a failure.
Found getData(CardChannel& card, std::uint16_t fileId, std::uint16_t tag, const char* step, ossl::SecureBytes& value,
              Result& failure) {
  const std::uint8_t tagList[] = {0x5C, 0x02, static_cast<std::uint8_t>(tag >> 8), static_cast<std::uint8_t>(tag)};
  Answer answer;
  if (const std::uint32_t error = exchange(
          card,
          buildCommand(0xCB, static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId), tagList, true),
          answer)) {
    failure = channelFailure(step, error);
    return Found::kFailed;
  }
  if (answer.sw == 0x6A82 || answer.sw == 0x6A88) {
    QTRACE(trace::kInformation, "getData", "getData: %04X/%04X absent (%04X)", fileId, tag, answer.sw);
    return Found::kAbsent;
  }
  if (answer.sw != kSwOk) {
    failure = statusFailure(step, answer.sw);
    return Found::kFailed;
  }
  DataObject object;
  if (!readDataObject(answer.data, object) || object.tag != tag || object.size != answer.data.size()) {
    QTRACE(trace::kWarning, "getData", "getData: %04X/%04X answered %zu bytes that are not the object", fileId, tag,
           answer.data.size());
    failure = Result{Outcome::kFailed, std::string("The card gave a malformed answer when ") + step + "."};
    return Found::kFailed;
  }
  value.assign(object.value.begin(), object.value.end());
  return Found::kYes;
}

// GET DATA of the PIN status (7F71): tries left, or -1 when the card does not say.
int pinTriesFromStatus(CardChannel& card) {
  const std::uint8_t tagList[] = {0x5C, 0x02, 0x7F, 0x71};
  Answer answer;
  if (exchange(card, buildCommand(0xCB, 0x3F, 0xFF, tagList, true), answer) != 0 || answer.sw != kSwOk) return -1;
  DataObject status;
  DataObject tries;
  if (!readDataObject(answer.data, status) || status.tag != 0x7F71 || !findDataObject(status.value, 0x97, tries) ||
      tries.value.size() != 1) {
    QTRACE(trace::kWarning, "pinTriesFromStatus", "pinTriesFromStatus: PIN status of %zu bytes not understood",
           answer.data.size());
    return -1;
  }
  return tries.value[0];
}

// The answer to a PIN presented to the card, in the Result's terms.
Result pinAnswer(std::uint16_t sw, const char* step) {
  if (sw == kSwOk) return {};
  if (sw == 0x6983) return Result{Outcome::kPinBlocked, "The PIN is blocked. Unblock it with the admin key.", 0};
  if ((sw & 0xFFF0) == 0x63C0) {
    const int tries = sw & 0x0F;
    if (tries == 0)
      return Result{Outcome::kPinBlocked, "The PIN is wrong, and now blocked. Unblock it with the admin key.", 0};
    return Result{Outcome::kWrongSecret,
                  "The PIN is wrong: " + std::to_string(tries) + (tries == 1 ? " try left." : " tries left."), tries};
  }
  if (sw == 0x6700) return Result{Outcome::kInvalidInput, "The card refused the new PIN's length."};
  return statusFailure(step, sw);
}

// Drops the PIN and administrator rights this operation opened.
void logOut(CardChannel& card) {
  Answer answer;
  const std::uint8_t logout[] = {0x00, 0x20, 0x00, 0x82};
  if (exchange(card, logout, answer) != 0 || answer.sw != kSwOk)
    QTRACE(trace::kWarning, "logOut", "logOut: the card did not log out (%04X)", answer.sw);
}

Result readCertificates(CardChannel& card, CardInfo& info) {
  ossl::SecureBytes master;
  Result failure;
  switch (getData(card, kMasterFile, kMasterFileTag, "reading the master file", master, failure)) {
    case Found::kAbsent: return {};
    case Found::kFailed: return failure;
    case Found::kYes: break;
  }
  std::vector<MasterFileEntry> entries;
  std::string error;
  if (!parseMasterFile(master, entries, error)) return Result{Outcome::kFailed, error};
  for (const MasterFileEntry& entry : entries) {
    if (!isCertificateEntry(entry)) continue;
    const std::string step = "reading certificate " + entry.file;
    ossl::SecureBytes content;
    const Found found = getData(card, entry.fileId, entry.tag, step.c_str(), content, failure);
    if (found == Found::kFailed) return failure;
    if (found == Found::kAbsent) {
      QTRACE(trace::kWarning, "readCertificates", "readCertificates: %s names %04X/%04X, which the card lacks",
             entry.file.c_str(), entry.fileId, entry.tag);
      continue;
    }
    Certificate certificate;
    certificate.file = entry.file;
    if (!parseCertificateFile(content, certificate, error))
      return Result{Outcome::kFailed, "The card's certificate " + entry.file + " " + error + "."};
    info.certificates.push_back(std::move(certificate));
  }
  return {};
}
}  // namespace

Result readCardInfo(CardChannel& card, CardInfo& info) {
  QTRACE(trace::kVerbose, "readCardInfo", "readCardInfo");
  info = CardInfo{};
  if (Result r = selectGidsApplication(card); r.outcome != Outcome::kDone) return r;

  Result failure;
  ossl::SecureBytes serial;
  if (getData(card, kSerialFile, kSerialTag, "reading the serial number", serial, failure) == Found::kFailed)
    return failure;
  info.serial = hex::encode(serial);

  // VERIFY without data asks for the PIN's state: 9000 only in the initialisation phase.
  info.pinTriesLeft = pinTriesFromStatus(card);
  Answer answer;
  const std::uint8_t verifyStatus[] = {0x00, 0x20, 0x00, kUserPin};
  if (const std::uint32_t error = exchange(card, verifyStatus, answer))
    return channelFailure("reading the PIN status", error);
  if (answer.sw == kSwOk) {
    info.initialisationPhase = true;
  } else if ((answer.sw & 0xFFF0) == 0x63C0) {
    if (info.pinTriesLeft < 0) info.pinTriesLeft = answer.sw & 0x0F;
  } else if (answer.sw == 0x6983) {
    info.pinTriesLeft = 0;
  } else {
    QTRACE(trace::kWarning, "readCardInfo", "readCardInfo: PIN status query answered %04X", answer.sw);
  }
  info.pinBlocked = info.pinTriesLeft == 0;

  ossl::SecureBytes map;
  switch (getData(card, kContainerMapFile, kContainerMapTag, "reading the container map", map, failure)) {
    case Found::kFailed: return failure;
    case Found::kAbsent: break;
    case Found::kYes: {
      std::string error;
      if (!parseContainerMap(map, info.containers, error)) return Result{Outcome::kFailed, error};
    }
  }
  if (Result r = readCertificates(card, info); r.outcome != Outcome::kDone) return r;
  QTRACE(trace::kInformation, "readCardInfo",
         "readCardInfo: serial %s, tries %d, initialisation %d, %zu containers, %zu certificates", info.serial.c_str(),
         info.pinTriesLeft, info.initialisationPhase ? 1 : 0, info.containers.size(), info.certificates.size());
  return {};
}

Result changePin(CardChannel& card, const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin) {
  QTRACE(trace::kInformation, "changePin", "changePin: old %zu digits, new %zu digits", oldPin.size(), newPin.size());
  if (oldPin.empty() || newPin.empty() || oldPin.size() + newPin.size() > 255)
    return Result{Outcome::kInvalidInput, "The PIN must be between 4 and 16 digits long."};
  if (Result r = selectPersonalisedCard(card); r.outcome != Outcome::kDone) return r;
  ossl::SecureBytes data(oldPin);
  data.insert(data.end(), newPin.begin(), newPin.end());
  Answer answer;
  const std::uint32_t error = exchange(card, buildCommand(0x24, 0x00, kUserPin, data, false), answer);
  if (error != 0) return channelFailure("changing the PIN", error);
  Result result = pinAnswer(answer.sw, "changing the PIN");
  logOut(card);
  return result;
}

Result unblockPin(CardChannel& card, const ossl::SecureBytes& adminKey, const ossl::SecureBytes& newPin) {
  QTRACE(trace::kInformation, "unblockPin", "unblockPin: new PIN of %zu digits", newPin.size());
  if (newPin.empty() || newPin.size() > 255)
    return Result{Outcome::kInvalidInput, "The PIN must be between 4 and 16 digits long."};
  if (Result r = selectPersonalisedCard(card); r.outcome != Outcome::kDone) return r;
  if (Result r = authenticateAdministrator(card, adminKey); r.outcome != Outcome::kDone) return r;
  Answer answer;
  const std::uint32_t error = exchange(card, buildCommand(0x2C, 0x02, kUserPin, newPin, false), answer);
  if (error != 0) return channelFailure("unblocking the PIN", error);
  Result result = answer.sw == 0x6700  ? Result{Outcome::kInvalidInput, "The card refused the new PIN's length."}
                  : answer.sw != kSwOk ? statusFailure("unblocking the PIN", answer.sw)
                                       : Result{};
  logOut(card);
  return result;
}

Result changeAdminKey(CardChannel& card, const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey) {
  QTRACE(trace::kInformation, "changeAdminKey", "changeAdminKey");
  if (newKey.size() != 24) return Result{Outcome::kInvalidInput, "The admin key must be 24 bytes."};
  if (Result r = selectPersonalisedCard(card); r.outcome != Outcome::kDone) return r;
  if (Result r = authenticateAdministrator(card, oldKey); r.outcome != Outcome::kDone) return r;

  // The key import template, as the card was personalised with: 70 { 84 01 80,
  // A5 { 87 18 <key>, 88 03 B0 73 DC } }.
  ossl::SecureBytes import{0x70, 0x24, 0x84, 0x01, 0x80, 0xA5, 0x1F, 0x87, 0x18};
  import.insert(import.end(), newKey.begin(), newKey.end());
  import.insert(import.end(), {0x88, 0x03, 0xB0, 0x73, 0xDC});
  Answer answer;
  const std::uint32_t error = exchange(card, buildCommand(0xDB, 0x3F, 0xFF, import, false), answer);
  if (error != 0) {
    // Whether the key arrived is unknown.
    Result r = channelFailure("importing the new admin key", error);
    r.message += " The card's admin key may be either the old or the new one.";
    return r;
  }
  if (answer.sw != kSwOk) {
    Result r = statusFailure("importing the new admin key", answer.sw);
    r.message += " The admin key is unchanged.";
    logOut(card);
    return r;
  }
  QTRACE(trace::kInformation, "changeAdminKey", "changeAdminKey: imported; authenticating with the new key");
  Result check = authenticateAdministrator(card, newKey);
  logOut(card);
  if (check.outcome != Outcome::kDone) {
    QTRACE(trace::kError, "changeAdminKey", "changeAdminKey: the new key did not authenticate");
    return Result{Outcome::kFailed,
                  "The card took the new admin key, but it did not authenticate with it: " + check.message};
  }
  return {};
}

}  // namespace quillon::cardops

#include "gids/GidsPINManager.h"

#include "base/Trace.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint8_t kUserPinReference = 0x80;
constexpr std::uint8_t kLogoutReference = 0x82;
}  // namespace

GidsPINManager::GidsPINManager(IJCRuntime& rt) : runtime(rt) {
  pin = makePersistent<GidsPIN>(rt, JC_HERE("GidsPINManager::GidsPINManager"), rt);
  if (pin == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  makeTransientState();
}

void GidsPINManager::makeTransientState() {
  terminalChallenge = runtime.makeTransientByteArray(16, CLEAR_ON_RESET);
  cardChallenge = runtime.makeTransientByteArray(16, CLEAR_ON_RESET);
  keyReference = runtime.makeTransientObjectArray(1, CLEAR_ON_RESET);
  cryptogramBuffer = runtime.makeTransientByteArray(40, CLEAR_ON_RESET);
  mutualAuthData = runtime.makeTransientByteArray(40, CLEAR_ON_RESET);
  authenticationStatus = runtime.makeTransientByteArray(1, CLEAR_ON_RESET);
}

GidsPINManager::~GidsPINManager() { destroyPersistent(runtime, pin, JC_HERE("GidsPINManager::~GidsPINManager")); }

GidsPIN& GidsPINManager::GetPINByReference(std::uint8_t reference) {
  QTRACE(trace::kInformation, "GidsPINManager::GetPINByReference", "GetPINByReference %d", reference);
  if ((reference & 0x7F) != 0) throwNotFound(__FILE__, __LINE__, "GidsPINManager::GetPINByReference");
  return *pin;
}

bool GidsPINManager::CheckUserAuthentication() {
  const bool ok = isInInitializationMode_ || pin->isValidated();
  QTRACE(trace::kInformation, "GidsPINManager::CheckUserAuthentication", ok ? "PIN OK" : "PIN NOT OK");
  return ok;
}

bool GidsPINManager::CheckExternalOrMutualAuthentication() {
  const std::uint8_t status = authenticationStatus[0];
  const bool ok = isInInitializationMode_ || status == AUTH_EXTERNAL_DONE || status == AUTH_MUTUAL_DONE;
  QTRACE(trace::kInformation, "GidsPINManager::CheckExternalOrMutualAuthentication",
         ok ? "ADMIN AUTH OK" : "ADMIN AUTH NOT OK");
  return ok;
}

void GidsPINManager::CheckAccessCondition(std::uint8_t condition) {
  if (condition == 0x00) return;
  if (condition == 0xFF) ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);

  const std::uint8_t protocol = runtime.getProtocol() & 0x0F;
  const std::uint8_t interface = condition & 0x0F;
  if (interface == 1 && protocol != 0 && protocol != 4)
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  if (interface == 2 && protocol != 2 && protocol != 3)
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);

  const std::uint8_t h = condition & 0xF0;
  if (h == 0x90) {
    if (CheckUserAuthentication()) return;
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  }
  if ((h & 0x90) == 0x10 && CheckUserAuthentication()) return;
  if (h == 0xA0 || (h & 0xA0) == 0x20) {
    if (CheckExternalOrMutualAuthentication()) return;
  }
  ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
}

void GidsPINManager::DeauthenticateAllPin() {
  QTRACE(trace::kInformation, "GidsPINManager::DeauthenticateAllPin", "DeauthenticateAllPin");
  pin->reset();
  authenticationStatus[0] = AUTH_NONE;
  ClearChallengeData();
  mutualAuthData.zero(0, mutualAuthData.length());
  keyReference[0] = nullptr;
}

void GidsPINManager::ClearChallengeData() {
  QTRACE(trace::kVerbose, "GidsPINManager::ClearChallengeData", "ClearChallengeData");
  terminalChallenge.zero(0, terminalChallenge.length());
  cardChallenge.zero(0, cardChallenge.length());
  cryptogramBuffer.zero(0, cryptogramBuffer.length());
  authenticationStatus[0] = AUTH_NONE;
}

void GidsPINManager::SetKeyReference(CRTKeyFile* keyFile) {
  QTRACE(trace::kInformation, "GidsPINManager::SetKeyReference", "SetKeyReference");
  keyReference[0] = keyFile;
}

void GidsPINManager::SetInitializationMode(bool on) {
  QTRACE(trace::kVerbose, "GidsPINManager::SetInitializationMode", "SetInitializationMode %02X", on ? 1 : 0);
  if (isInInitializationMode_ != on) runtime.noteStateChange();
  isInInitializationMode_ = on;
  DeauthenticateAllPin();
}

void GidsPINManager::failVerification(GidsPIN& p) {
  ISOException::throwIt(static_cast<std::uint16_t>(ISO7816::SW_VERIFICATION_FAILED | p.getTriesRemaining()));
}

void GidsPINManager::processVerify(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_P1] != 0x00) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  const std::uint8_t reference = buffer[ISO7816::OFFSET_P2];
  if (reference == kLogoutReference) {
    DeauthenticateAllPin();
    return;
  }
  GidsPIN* p = nullptr;
  try {
    p = &GetPINByReference(reference);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_REFERENCED_DATA_NOT_FOUND);
  }
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  if (p->getTriesRemaining() == 0) ISOException::throwIt(ISO7816::SW_AUTHENTICATION_METHOD_BLOCKED);
  if ((lc != 0 && lc < p->minPINSize_) || lc > p->maxPINSize_) failVerification(*p);
  if (lc == 0) {
    if (isInInitializationMode_) return;
    failVerification(*p);
  }
  if (!p->check(buffer, ISO7816::OFFSET_CDATA, static_cast<std::uint8_t>(lc))) failVerification(*p);
}

void GidsPINManager::processChangeReferenceData(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t p1 = buffer[ISO7816::OFFSET_P1];
  const std::uint8_t p2 = buffer[ISO7816::OFFSET_P2];
  const std::uint8_t lc = static_cast<std::uint8_t>(apdu.setIncomingAndReceive());
  if (p1 != 0x00 && p1 != 0x01) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);

  GidsPIN* p = nullptr;
  try {
    p = &GetPINByReference(p2);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_REFERENCED_DATA_NOT_FOUND);
  }

  if (p1 == 0x01) {  // new value only
    if (lc < p->minPINSize_ || lc > p->maxPINSize_) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
    if (!isInInitializationMode_ && !p->isValidated()) ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
    p->update(buffer, ISO7816::OFFSET_CDATA, lc);
    if (isInInitializationMode_) p->resetAndUnblock();
    return;
  }

  // Old value followed by the new one.
  if (lc > 2 * p->maxPINSize_ || lc < 2 * p->minPINSize_) failVerification(*p);
  const std::uint8_t oldLength = lc < p->currentPINLen_ ? lc : p->currentPINLen_;
  if (p->getTriesRemaining() == 0) ISOException::throwIt(ISO7816::SW_AUTHENTICATION_METHOD_BLOCKED);
  if (!p->check(buffer, ISO7816::OFFSET_CDATA, oldLength)) failVerification(*p);
  if (lc > p->maxPINSize_ + oldLength || lc < p->minPINSize_ + oldLength)
    ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
  p->update(buffer, static_cast<std::uint16_t>(ISO7816::OFFSET_CDATA + oldLength),
            static_cast<std::uint8_t>(lc - oldLength));
  p->setAsAuthenticated();
}

void GidsPINManager::processResetRetryCounter(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (isInInitializationMode_) ISOException::throwIt(ISO7816::SW_COMMAND_NOT_ALLOWED);
  if (buffer[ISO7816::OFFSET_P1] != 0x02) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  if (buffer[ISO7816::OFFSET_P2] != kUserPinReference) ISOException::throwIt(ISO7816::SW_REFERENCED_DATA_NOT_FOUND);
  if (!CheckExternalOrMutualAuthentication()) ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  if (lc < pin->minPINSize_ || lc > pin->maxPINSize_) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
  pin->update(buffer, ISO7816::OFFSET_CDATA, static_cast<std::uint8_t>(lc));
  pin->resetAndUnblock();
  DeauthenticateAllPin();
}

void GidsPINManager::returnPINStatus(APDU& apdu, std::uint16_t tag) {
  if (tag != 0x7F71 && tag != 0x7F72) ISOException::throwIt(ISO7816::SW_REFERENCED_DATA_NOT_FOUND);
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t answer[9] = {static_cast<std::uint8_t>(tag >> 8),
                                  static_cast<std::uint8_t>(tag),
                                  0x06,
                                  0x97,
                                  0x01,
                                  pin->getTriesRemaining(),
                                  0x93,
                                  0x01,
                                  pin->tryLimit_};
  for (std::uint8_t i = 0; i < sizeof answer; ++i) buffer[i] = answer[i];
  apdu.setOutgoing();
  apdu.setOutgoingLength(sizeof answer);
  apdu.sendBytes(0, sizeof answer);
}

}  // namespace quillon

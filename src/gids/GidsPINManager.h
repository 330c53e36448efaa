// The card's authentication state: the user PIN, the initialisation phase (in
// which every access condition is met), and administrator authentication by the
// triple-DES administrator key. Handles VERIFY, CHANGE REFERENCE DATA, RESET
// RETRY COUNTER, GENERAL AUTHENTICATE and the PIN status query, and decides every
// security-condition byte of a file's access rule.
#pragma once

#include <cstdint>

#include "gids/GidsPIN.h"
#include "jc/APDU.h"
#include "jc/IArchive.h"
#include "jc/IJCRuntime.h"

namespace quillon {

class CRTKeyFile;

class GidsPINManager {
 public:
  // authenticationStatus values
  static constexpr std::uint8_t AUTH_NONE = 0;
  static constexpr std::uint8_t AUTH_EXTERNAL_CHALLENGE = 1;
  static constexpr std::uint8_t AUTH_MUTUAL_CHALLENGE = 2;
  static constexpr std::uint8_t AUTH_EXTERNAL_DONE = 3;
  static constexpr std::uint8_t AUTH_MUTUAL_DONE = 4;

  explicit GidsPINManager(IJCRuntime& runtime);
  ~GidsPINManager();
  GidsPINManager(const GidsPINManager&) = delete;
  GidsPINManager& operator=(const GidsPINManager&) = delete;

  // NotFoundException for any reference other than 00 and 80.
  GidsPIN& GetPINByReference(std::uint8_t reference);
  bool CheckUserAuthentication();
  bool CheckExternalOrMutualAuthentication();
  // Returns when the condition byte is met; ISOException 6982 otherwise.
  void CheckAccessCondition(std::uint8_t condition);
  void DeauthenticateAllPin();
  void ClearChallengeData();
  void SetKeyReference(CRTKeyFile* keyFile);
  void SetInitializationMode(bool on);
  bool isInInitializationMode() const { return isInInitializationMode_; }

  void processVerify(APDU& apdu);
  void processChangeReferenceData(APDU& apdu);
  void processResetRetryCounter(APDU& apdu);
  void returnPINStatus(APDU& apdu, std::uint16_t tag);
  void processGeneralAuthenticate(APDU& apdu);
  void serialize(IArchive& archive);

  GidsPIN* pin = nullptr;
  bool isInInitializationMode_ = true;

 private:
  bool CheckForChallengeRequest(APDU& apdu, ByteArray& buffer, std::uint16_t offset, std::uint16_t length);
  bool CheckForChallengeResponse(APDU& apdu, ByteArray& buffer, std::uint16_t offset, std::uint16_t length);
  [[noreturn]] void failVerification(GidsPIN& pin);
  void makeTransientState();

  IJCRuntime& runtime;

 public:
  // Transient state of administrator authentication, cleared on card reset.
  ByteArray terminalChallenge;
  ByteArray cardChallenge;
  JCArray<void*> keyReference;
  ByteArray cryptogramBuffer;
  ByteArray mutualAuthData;
  ByteArray authenticationStatus;
};

}  // namespace quillon

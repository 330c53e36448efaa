// GENERAL AUTHENTICATE: the administrator proves knowledge of the triple-DES
// administrator key by answering the card's challenge (external authentication),
// or both sides challenge each other (mutual authentication).
#include <openssl/crypto.h>

#include "base/Trace.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsPINManager.h"
#include "gids/UtilTLV.h"
#include "jc/Cipher.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Key.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {

constexpr std::uint8_t kDynamicAuthenticationTemplate = 0x7C;
constexpr std::uint8_t kTagChallenge = 0x81;
constexpr std::uint8_t kTagResponse = 0x82;
constexpr std::uint16_t kMutualResponseLength = 40;
constexpr std::uint16_t kAdminKeyLength = 24;

// Finds `tag` in the template; false when absent, 6984 for a malformed element.
bool findElement(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag,
                 std::uint16_t& at) {
  try {
    at = UtilTLV::findTag(buffer, offset, length, tag);
    return true;
  } catch (const NotFoundException&) {
    return false;
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
}

bool equalRanges(const ByteArray& a, std::uint16_t aOffset, const ByteArray& b, std::uint16_t bOffset,
                 std::uint16_t length) {
  a.checkRange(aOffset, length);
  b.checkRange(bOffset, length);
  return CRYPTO_memcmp(a.data() + aOffset, b.data() + bOffset, length) == 0;
}

}  // namespace

void GidsPINManager::processGeneralAuthenticate(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (isInInitializationMode_) ISOException::throwIt(ISO7816::SW_COMMAND_NOT_ALLOWED);
  if (buffer[ISO7816::OFFSET_P1] != 0 || buffer[ISO7816::OFFSET_P2] != 0)
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  apdu.setIncomingAndReceive();
  if (buffer[ISO7816::OFFSET_CDATA] != kDynamicAuthenticationTemplate) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  UtilTLV::Element body;
  try {
    body = UtilTLV::elementAt(buffer, ISO7816::OFFSET_CDATA);
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  if (!CheckForChallengeRequest(apdu, buffer, body.value, body.length) &&
      !CheckForChallengeResponse(apdu, buffer, body.value, body.length))
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
}

bool GidsPINManager::CheckForChallengeRequest(APDU& apdu, ByteArray& buffer, std::uint16_t offset,
                                              std::uint16_t length) {
  std::uint16_t at = 0;
  if (!findElement(buffer, offset, length, kTagChallenge, at)) return false;
  const UtilTLV::Element element = UtilTLV::elementAt(buffer, at, true);
  const std::uint16_t challengeLength = element.length, challenge = element.value;

  ClearChallengeData();
  std::uint8_t cardLength = 0;
  if (challengeLength == 16) {
    Util::arrayCopy(buffer, challenge, terminalChallenge, 0, 16);
    authenticationStatus[0] = AUTH_MUTUAL_CHALLENGE;
    cardLength = 16;
  } else if (challengeLength == 0) {
    authenticationStatus[0] = AUTH_EXTERNAL_CHALLENGE;
    cardLength = 8;
  } else {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }

  RandomData& random = runtime.getRandomData(1);
  random.setSeed(buffer, challenge, challengeLength);
  random.generateData(cardChallenge, 0, cardLength);

  buffer[0] = kDynamicAuthenticationTemplate;
  buffer[1] = static_cast<std::uint8_t>(2 + cardLength);
  buffer[2] = kTagChallenge;
  buffer[3] = cardLength;
  Util::arrayCopy(cardChallenge, 0, buffer, 4, cardLength);
  apdu.setOutgoingAndSend(0, static_cast<std::uint16_t>(4 + cardLength));
  return true;
}

bool GidsPINManager::CheckForChallengeResponse(APDU& apdu, ByteArray& buffer, std::uint16_t offset,
                                               std::uint16_t length) {
  std::uint16_t at = 0;
  if (!findElement(buffer, offset, length, kTagResponse, at)) return false;
  UtilTLV::Element element;
  try {
    element = UtilTLV::elementAt(buffer, at);
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  const std::uint16_t n = element.length, response = element.value;
  if (n > kMutualResponseLength) ISOException::throwIt(ISO7816::SW_DATA_INVALID);

  const std::uint8_t status = authenticationStatus[0];
  if (status != AUTH_EXTERNAL_CHALLENGE && status != AUTH_MUTUAL_CHALLENGE)
    ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  // Only a key file holding a three-key triple-DES key can answer.
  auto* keyFile = static_cast<CRTKeyFile*>(keyReference[0]);
  if (keyFile == nullptr || keyFile->symmetricKey.length() != kAdminKeyLength)
    ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);

  if (status == AUTH_MUTUAL_CHALLENGE && n != kMutualResponseLength) {
    ClearChallengeData();
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  }
  if (status == AUTH_EXTERNAL_CHALLENGE && n < 8) {
    ClearChallengeData();  // too short to hold the enciphered challenge
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  }

  const auto where = JC_HERE("GidsPINManager::CheckForChallengeResponse");
  PersistentPtr<Cipher> cipher(runtime, runtime.createCipher(Cipher::ALG_DES_CBC_NOPAD), where);
  PersistentPtr<Key> key(runtime, runtime.buildKey(KeyBuilder::TYPE_DES, 192, false), where);
  if (!cipher || !key) SystemException::throwIt(SystemException::NO_RESOURCE);
  auto* desKey = static_cast<DESKey*>(key.get());
  desKey->setKey(keyFile->symmetricKey, 0);
  struct ClearKey {
    Key* key;
    ~ClearKey() { key->clearKey(); }
  } clearKey{desKey};

  cipher->init(desKey, Cipher::MODE_DECRYPT);
  cipher->doFinal(buffer, response, n, cryptogramBuffer, 0);

  if (status == AUTH_EXTERNAL_CHALLENGE) {
    if (!equalRanges(cryptogramBuffer, 0, cardChallenge, 0, 8)) {
      ClearChallengeData();
      ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
    }
    ClearChallengeData();
    authenticationStatus[0] = AUTH_EXTERNAL_DONE;
    return true;
  }

  if (!equalRanges(cryptogramBuffer, 0, cardChallenge, 0, 16) ||
      !equalRanges(cryptogramBuffer, 16, terminalChallenge, 0, 16) || cryptogramBuffer[39] != 0x80) {
    ClearChallengeData();
    ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);
  }
  Util::arrayCopy(cryptogramBuffer, 32, mutualAuthData, 0, 7);
  runtime.getRandomData(1).generateData(mutualAuthData, 7, 7);

  Util::arrayCopy(terminalChallenge, 0, cryptogramBuffer, 0, 16);
  Util::arrayCopy(cardChallenge, 0, cryptogramBuffer, 16, 16);
  Util::arrayCopy(mutualAuthData, 7, cryptogramBuffer, 32, 7);
  cryptogramBuffer[39] = 0x80;
  cipher->init(desKey, Cipher::MODE_ENCRYPT);
  cipher->doFinal(cryptogramBuffer, 0, kMutualResponseLength, buffer, 4);
  buffer[0] = kDynamicAuthenticationTemplate;
  buffer[1] = 0x2A;
  buffer[2] = kTagResponse;
  buffer[3] = 0x28;

  ClearChallengeData();
  authenticationStatus[0] = AUTH_MUTUAL_DONE;
  apdu.setOutgoing();
  apdu.setOutgoingLength(44);
  apdu.sendBytes(0, 44);
  return true;
}

}  // namespace quillon

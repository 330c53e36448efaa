// The key operations of the applet: MANAGE SECURITY ENVIRONMENT, signing and
// deciphering (PERFORM SECURITY OPERATION), key pair generation and the public key
// of a key file.
#include "base/Trace.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsApplet.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/TransmitManager.h"
#include "gids/UtilTLV.h"
#include "jc/CapacityScope.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Util.h"

namespace quillon {

namespace {

constexpr std::uint8_t kNibbleSignRaw = 0x10;
constexpr std::uint8_t kNibbleSignPkcs1 = 0x50;
constexpr std::uint8_t kNibbleDecipherRaw = 0x00;
constexpr std::uint8_t kNibbleDecipherPkcs1 = 0x40;
constexpr std::uint8_t kNibbleDecipherOaep = 0x80;
constexpr std::uint16_t kMaxPkcs1SignInput = 247;

// The one-byte value of element `tag` in [offset, offset + length): its length
// byte must be 01. NotFoundException / InvalidArgumentsException otherwise.
std::uint8_t singleByteValue(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag) {
  const std::uint16_t at = UtilTLV::findTag(buffer, offset, length, tag);
  if (buffer[at + 1u] != 0x01) throwInvalidArguments(__FILE__, __LINE__, "GidsApplet::singleByteValue");
  return buffer[at + 2u];
}

// Writes a DER length at `at`; returns the position after it.
std::uint32_t putLength(ByteArray& out, std::uint32_t at, std::uint32_t length) {
  if (length < 0x80) {
    out[at++] = static_cast<std::uint8_t>(length);
  } else if (length < 0x100) {
    out[at++] = 0x81;
    out[at++] = static_cast<std::uint8_t>(length);
  } else {
    out[at++] = 0x82;
    out[at++] = static_cast<std::uint8_t>(length >> 8);
    out[at++] = static_cast<std::uint8_t>(length);
  }
  return at;
}

std::uint32_t lengthFieldSize(std::uint32_t length) { return length < 0x80 ? 1 : (length < 0x100 ? 2 : 3); }

// A signature into `out` at 0. An input the key cannot sign, too long for its
// padding or a DigestInfo around a hash of the wrong size, is a wrong length.
std::uint16_t signChecked(Cipher& c, const ByteArray& in, std::uint16_t offset, std::uint16_t length, ByteArray& out) {
  try {
    return c.doFinal(in, offset, length, out, 0);
  } catch (const CryptoException& e) {
    if (e.getReason() == CryptoException::ILLEGAL_USE) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
    throw;
  }
}

}  // namespace

Cipher& GidsApplet::cipher(Cipher* c) {
  if (c == nullptr) ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  return *c;
}

RSAPrivateCrtKey& GidsApplet::currentPrivateKey() {
  auto* keyFile = static_cast<CRTKeyFile*>(currentKeyFile[0]);
  if (keyFile == nullptr || keyFile->keyPair == nullptr || keyFile->keyPair->getPrivate() == nullptr)
    ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  return *keyFile->keyPair->getPrivate();
}

void GidsApplet::processManageSecurityEnvironment(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t p1 = buffer[ISO7816::OFFSET_P1];
  const std::uint8_t p2 = buffer[ISO7816::OFFSET_P2];
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  if (!UtilTLV::isTLVConsistent(buffer, ISO7816::OFFSET_CDATA, lc)) ISOException::throwIt(ISO7816::SW_DATA_INVALID);

  std::uint8_t algorithm = 0;
  std::uint8_t keyReference = 0;
  try {
    switch (p1) {
      case 0x41:  // signing and deciphering
        algorithm = singleByteValue(buffer, ISO7816::OFFSET_CDATA, lc & 0xFF, 0x80);
        keyReference = singleByteValue(buffer, ISO7816::OFFSET_CDATA, lc & 0xFF, 0x84);
        break;
      case 0x81:  // external or mutual authentication
      case 0xC1:
        keyReference = singleByteValue(buffer, ISO7816::OFFSET_CDATA, lc & 0xFF, 0x83);
        algorithm = 0x02;
        break;
      case 0xF3:  // restore
        keyReference = 0xFF;
        algorithm = 0x00;
        break;
      default: ISOException::throwIt(ISO7816::SW_FUNC_NOT_SUPPORTED);
    }
  } catch (const JavaCardRuntimeException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }

  CRTKeyFile* keyFile = nullptr;
  try {
    keyFile = fileSystem->findKeyCRT(keyReference);
    keyFile->CheckUsage(p2, algorithm);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  keyFile->checkAccess(*pinManager, AM_MANAGE_SE);

  pinManager->SetKeyReference(p1 == 0x81 || p1 == 0xC1 ? keyFile : nullptr);
  algorithmReference[0] = algorithm;
  currentKeyFile[0] = keyFile;
}

void GidsApplet::processComputeDigitalSignature(APDU& apdu) {
  ByteArray& ram = transmitManager->getRamBuffer();
  std::uint16_t length = 0;
  switch (algorithmReference[0] & 0xF0) {
    case kNibbleSignRaw: {
      const std::uint16_t n = transmitManager->doChainingOrExtAPDU(apdu, ram, TransmitManager::kRamBufferSize);
      Cipher& c = cipher(rsaNoPadCipher.get());
      c.init(&currentPrivateKey(), Cipher::MODE_ENCRYPT);
      length = signChecked(c, ram, 0, n, ram);
      break;
    }
    case kNibbleSignPkcs1: {
      const std::uint16_t lc = apdu.setIncomingAndReceive();
      RSAPrivateCrtKey& key = currentPrivateKey();
      if (lc > kMaxPkcs1SignInput) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
      Cipher& c = cipher(rsaPkcs1Cipher.get());
      c.init(&key, Cipher::MODE_ENCRYPT);
      length = signChecked(c, apdu.getBuffer(), ISO7816::OFFSET_CDATA, lc, ram);
      break;
    }
    default: ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  }
  transmitManager->sendRamBuffer(apdu, length);
}

void GidsApplet::processDecipher(APDU& apdu) {
  ByteArray& ram = transmitManager->getRamBuffer();
  const std::uint16_t n = transmitManager->doChainingOrExtAPDU(apdu, ram, TransmitManager::kRamBufferSize);
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_CLA] != 0x00) ISOException::throwIt(ISO7816::SW_WRONG_DATA);

  Cipher* chosen = nullptr;
  switch (algorithmReference[0] & 0xF0) {
    case kNibbleDecipherRaw: chosen = rsaNoPadCipher.get(); break;
    case kNibbleDecipherPkcs1: chosen = rsaPkcs1Cipher.get(); break;
    case kNibbleDecipherOaep: chosen = rsaOaepCipher.get(); break;
    default: ISOException::throwIt(ISO7816::SW_FUNC_NOT_SUPPORTED);
  }
  RSAPrivateCrtKey& key = currentPrivateKey();
  if (n != key.getSize() / 8) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);

  Cipher& c = cipher(chosen);
  c.init(&key, Cipher::MODE_DECRYPT);
  std::uint16_t m = 0;
  try {
    m = c.doFinal(ram, 0, n, buffer, 0);
  } catch (const CryptoException&) {
    ISOException::throwIt(ISO7816::SW_WRONG_DATA);
  }
  if (m <= APDU::kMaxOutgoing) {
    apdu.setOutgoingAndSend(0, m);
    return;
  }
  // Plaintexts of keys above 2048 bits do not fit one answer: they go out in
  // pieces, as signatures of such keys do.
  Util::arrayCopy(buffer, 0, ram, 0, m);
  buffer.zero(0, m);
  transmitManager->sendRamBuffer(apdu, m);
}

void GidsApplet::processGenerateAsymmetricKeypair(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_P1] != 0 || buffer[ISO7816::OFFSET_P2] != 0)
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  if (!UtilTLV::isTLVConsistent(buffer, ISO7816::OFFSET_CDATA, lc)) ISOException::throwIt(ISO7816::SW_DATA_INVALID);

  std::uint8_t keyReference = 0;
  std::uint8_t algorithm = 0;
  try {
    const UtilTLV::Element body = UtilTLV::elementAt(buffer, ISO7816::OFFSET_CDATA);
    if (body.end() != std::uint32_t{ISO7816::OFFSET_CDATA} + lc) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    const std::uint16_t value = body.value, length = body.length;
    if (!UtilTLV::isTLVConsistent(buffer, value, length)) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    keyReference = singleByteValue(buffer, value, length, 0x83);
    algorithm = singleByteValue(buffer, value, length, 0x80);
  } catch (const JavaCardRuntimeException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }

  CRTKeyFile* keyFile = nullptr;
  try {
    keyFile = fileSystem->findKeyCRT(keyReference);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  keyFile->checkAccess(*pinManager, AM_GENERATE);

  std::uint16_t bits = 0;
  switch (algorithm) {
    case 0x06: bits = 1024; break;
    case 0x07: bits = 2048; break;
    case 0x08: bits = 3072; break;
    case 0x09: bits = 4096; break;
    default: ISOException::throwIt(ISO7816::SW_FUNC_NOT_SUPPORTED);
  }

  PersistentPtr<KeyPair> pair(runtime, nullptr, JC_HERE("GidsApplet::processGenerateAsymmetricKeypair"));
  try {
    CapacityScope growth(runtime);
    pair.reset(runtime.createKeyPair(2, bits));
    if (!pair) SystemException::throwIt(SystemException::NO_RESOURCE);
    pair->genKeyPair();
  } catch (const CryptoException& e) {
    ISOException::throwIt(e.getReason() == CryptoException::NO_SUCH_ALGORITHM ? ISO7816::SW_FUNC_NOT_SUPPORTED
                                                                              : ISO7816::SW_UNKNOWN);
  } catch (const SystemException& e) {
    ISOException::throwIt(e.getReason() == SystemException::NO_RESOURCE ? ISO7816::SW_FILE_FULL : ISO7816::SW_UNKNOWN);
  }
  keyFile->SaveKey(pair.release());
  sendPublicKey(apdu, keyFile->keyPair->getPublic());
}

void GidsApplet::processGetPublicKey(APDU& apdu, std::uint8_t keyReference) {
  CRTKeyFile* keyFile = nullptr;
  try {
    keyFile = fileSystem->findKeyCRT(keyReference);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  keyFile->checkAccess(*pinManager, AM_READ);
  if (keyFile->keyPair == nullptr) ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  sendPublicKey(apdu, keyFile->keyPair->getPublic());
}

void GidsApplet::sendPublicKey(APDU& apdu, RSAPublicKey* key) {
  if (key == nullptr) return;
  if (!key->isInitialized()) ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  TransmitManager& transmit = *transmitManager;
  transmit.clearState(true);
  ByteArray& out = transmit.getRamBuffer();

  // 7F49 { 81 modulus, 82 exponent } with the lengths the key's own values have.
  const std::uint32_t k = key->getSize() / 8u;
  std::uint8_t exponent[8] = {};
  ByteArray exponentView = ByteArray::view(exponent, sizeof exponent);
  std::uint32_t e = 0;
  try {
    e = key->getExponent(exponentView, 0);
  } catch (const SystemException&) {
    ISOException::throwIt(ISO7816::SW_UNKNOWN);  // an exponent of more than 8 bytes is no public key of ours
  }
  const std::uint32_t inner = 1 + lengthFieldSize(k) + k + 1 + lengthFieldSize(e) + e;
  if (2 + lengthFieldSize(inner) + inner > out.length()) ISOException::throwIt(ISO7816::SW_FILE_FULL);

  std::uint32_t at = 0;
  out[at++] = 0x7F;
  out[at++] = 0x49;
  at = putLength(out, at, inner);
  out[at++] = 0x81;
  at = putLength(out, at, k);
  const std::uint16_t written = key->getModulus(out, static_cast<std::uint16_t>(at));
  if (written != k) ISOException::throwIt(ISO7816::SW_UNKNOWN);
  at += written;
  out[at++] = 0x82;
  at = putLength(out, at, e);
  for (std::uint32_t i = 0; i < e; ++i) out[at++] = exponent[i];
  transmit.sendRamBuffer(apdu, static_cast<std::uint16_t>(at));
}

}  // namespace quillon

// Key import into a key file: a triple-DES key, or an RSA private key in the DER
// form of PKCS #1 (RSAPrivateKey), checked element by element. Keys built by an
// import that fails are wiped and destroyed; the file keeps its old key.
#include "base/Trace.h"
#include "gids/CRTKeyFile.h"
#include "gids/UtilTLV.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {

constexpr std::uint8_t KEY_KIND_SYMMETRIC = 1;
constexpr std::uint8_t KEY_KIND_RSA = 2;

// An INTEGER of the DER key at `position`: value offset and length, advanced past.
struct DerInteger {
  std::uint16_t value;
  std::uint16_t length;
};

DerInteger readInteger(const ByteArray& data, std::uint32_t& position) {
  if (data[position] != 0x02) throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::importRsaKey");
  const UtilTLV::Element element = UtilTLV::elementAt(data, static_cast<std::uint16_t>(position));
  data.checkRange(element.value, element.length);  // a value running past the data is malformed
  position = element.end();
  return {element.value, element.length};
}

// Drops the sign byte of a value one byte longer than a multiple of 16.
void dropSignByte(const ByteArray& data, DerInteger& n) {
  if (n.length % 16 == 1 && data[n.value] == 0) {
    ++n.value;
    --n.length;
  }
}

// Reads the one-byte value of an optional element; false when the tag is absent.
bool optionalByte(const ByteArray& data, std::uint16_t offset, std::uint16_t length, std::uint8_t tag,
                  std::uint8_t& value) {
  std::uint16_t at = 0;
  try {
    at = UtilTLV::findTag(data, offset, length, tag);
  } catch (const NotFoundException&) {
    return false;
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  if (data[at + 1u] != 0x01) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  value = data[at + 2u];
  return true;
}

}  // namespace

void CRTKeyFile::CheckUsage(std::uint8_t operation, std::uint8_t algRef) {
  QTRACE(trace::kInformation, "CRTKeyFile::CheckUsage", "CheckUsage operation %d algRef %02x", operation, algRef);
  std::uint32_t position = posCRT + 2u;
  while (true) {
    if (position >= fcp.length()) throwNotFound(__FILE__, __LINE__, "CRTKeyFile::CheckUsage");
    std::uint16_t value = 0, length = 0;
    try {
      const UtilTLV::Element element =
          UtilTLV::findElement(fcp, static_cast<std::uint16_t>(position), lenCRT, operation);
      value = element.value;
      length = element.length;
    } catch (const JavaCardRuntimeException&) {
      throwNotFound(__FILE__, __LINE__, "CRTKeyFile::CheckUsage");
    }
    try {
      const std::uint16_t at80 = UtilTLV::findTag(fcp, value, length, 0x80);
      if (fcp[at80 + 1u] != 0x01) throwNotFound(__FILE__, __LINE__, "CRTKeyFile::CheckUsage");
      if (fcp[at80 + 2u] == algRef) return;
    } catch (const InvalidArgumentsException&) {
      throwNotFound(__FILE__, __LINE__, "CRTKeyFile::CheckUsage");
    } catch (const NotFoundException&) {
      // a template without 80 allows nothing; look for a further one
    }
    position = std::uint32_t{value} + length;
  }
}

void CRTKeyFile::importKey(ByteArray& data, std::uint16_t offset) {
  if (offset >= data.length()) throwIndexOutOfBounds();
  if (data[offset] != 0xA5) throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::importKey");
  std::uint16_t contents = 0, length = 0;
  try {
    const UtilTLV::Element element = UtilTLV::elementAt(data, offset);
    contents = element.value;
    length = element.length;
  } catch (const JavaCardRuntimeException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }

  std::uint8_t kind = KEY_KIND_SYMMETRIC;
  optionalByte(data, contents, length, 0x83, kind);
  std::uint8_t usage = 0;
  if (optionalByte(data, contents, length, 0x84, usage) && usage != 0)
    ISOException::throwIt(ISO7816::SW_FUNC_NOT_SUPPORTED);

  try {
    const UtilTLV::Element key = UtilTLV::findElement(data, contents, length, 0x87);
    if (kind == KEY_KIND_SYMMETRIC)
      importSymmetricKey(data, key.value, key.length);
    else if (kind == KEY_KIND_RSA)
      importRsaKey(data, key.value, key.length);
    else
      ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  } catch (const ISOException&) {
    throw;
  } catch (const SystemException& e) {
    if (e.getReason() == SystemException::NO_RESOURCE) throw;  // no room for the key: 6A84 to the caller
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  } catch (...) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
}

void CRTKeyFile::importRsaKey(ByteArray& data, std::uint16_t offset, std::uint16_t length) {
  QTRACE(trace::kVerbose, "CRTKeyFile::importRsaKey", "importRsaKey");
  if (offset >= data.length()) throwIndexOutOfBounds();
  std::uint32_t position = offset;
  if (data[position] != 0x30) throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::importRsaKey");
  const UtilTLV::Element sequence = UtilTLV::elementAt(data, offset);
  if (sequence.length > std::uint32_t{length} + 2)
    throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::importRsaKey");
  position = sequence.value;
  if (data[position] != 0x02 || data[position + 1] != 0x01 || data[position + 2] != 0x00)
    throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::importRsaKey");
  position += 3;

  DerInteger modulus = readInteger(data, position);
  dropSignByte(data, modulus);
  const auto bits = static_cast<std::uint16_t>(8u * modulus.length);

  // Keys built here are wiped and destroyed unless they reach the file.
  auto wipeAndDestroy = JC_HERE("CRTKeyFile::importRsaKey");
  PersistentPtr<RSAPrivateCrtKey> privateKey(
      runtime, static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, bits, false)),
      wipeAndDestroy);
  PersistentPtr<RSAPublicKey> publicKey(
      runtime, static_cast<RSAPublicKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, bits, false)), wipeAndDestroy);
  if (!privateKey || !publicKey) SystemException::throwIt(SystemException::NO_RESOURCE);
  struct WipeOnFailure {
    RSAPrivateCrtKey* key;
    ~WipeOnFailure() {
      if (key != nullptr) key->clearKey();
    }
  } wipe{privateKey.get()};

  publicKey->setModulus(data, modulus.value, modulus.length);
  const DerInteger exponent = readInteger(data, position);
  publicKey->setExponent(data, exponent.value, exponent.length);
  readInteger(data, position);  // the private exponent is not kept: CRT components suffice

  using Setter = void (RSAPrivateCrtKey::*)(const ByteArray&, std::uint16_t, std::uint16_t);
  constexpr Setter setters[] = {&RSAPrivateCrtKey::setP, &RSAPrivateCrtKey::setQ, &RSAPrivateCrtKey::setDP1,
                                &RSAPrivateCrtKey::setDQ1, &RSAPrivateCrtKey::setPQ};
  for (const Setter set : setters) {
    DerInteger component = readInteger(data, position);
    dropSignByte(data, component);
    if (component.length % 16 == 15) {
      // One byte short of a multiple of 16: stored with a leading zero, which
      // takes the place of the last byte of the DER length field.
      --component.value;
      ++component.length;
      data[component.value] = 0;
    }
    (privateKey.get()->*set)(data, component.value, component.length);
  }
  if (!privateKey->isInitialized()) ISOException::throwIt(ISO7816::SW_DATA_INVALID);

  data.zero(offset, length);  // the key material does not stay in the buffer
  wipe.key = nullptr;
  // The pair is made before the old contents go: without room for it the file
  // keeps its old key.
  KeyPair* pair = runtime.createKeyPairFromKeys(publicKey.release(), privateKey.release());
  if (pair == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  clearContents();
  keyPair = pair;
  runtime.noteStateChange();
  if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
}

void CRTKeyFile::importSymmetricKey(ByteArray& data, std::uint16_t offset, std::uint16_t length) {
  QTRACE(trace::kVerbose, "CRTKeyFile::importSymmetricKey", "importSymmetricKey");
  // Copied before the old key goes, so that a bad range loses nothing.
  ByteArray key(length, runtime.persistentMemory(), JC_HERE("CRTKeyFile::importSymmetricKey"));
  Util::arrayCopy(data, offset, key, 0, length);
  data.zero(offset, length);
  clearContents();
  symmetricKey = std::move(key);
  runtime.noteStateChange();
}

void CRTKeyFile::SaveKey(KeyPair* pair) {
  QTRACE(trace::kVerbose, "CRTKeyFile::SaveKey", "SaveKey");
  clearContents();
  keyPair = pair;
  runtime.noteStateChange();
}

}  // namespace quillon

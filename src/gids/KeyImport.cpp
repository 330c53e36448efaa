// PUT DATA into the current DF (P1 P2 = 3F FF): the import of a key into a key
// file, its data gathered (over a command chain if need be) in the transmit
// manager's key-import buffer, which never outlives the import.
#include "gids/CRTKeyFile.h"
#include "gids/GidsApplet.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/TransmitManager.h"
#include "gids/UtilTLV.h"
#include "jc/CapacityScope.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"

namespace quillon {

void GidsApplet::processImportKey(APDU& apdu) {
  TransmitManager& transmit = *transmitManager;
  try {
    importKey(apdu);
  } catch (const ISOException& e) {
    // An intermediate command of a chain keeps what it gathered.
    if (e.getReason() != ISO7816::SW_NO_ERROR) transmit.clearFlashBuffer();
    throw;
  } catch (...) {
    transmit.clearFlashBuffer();
    throw;
  }
  transmit.clearFlashBuffer();
}

void GidsApplet::importKey(APDU& apdu) {
  TransmitManager& transmit = *transmitManager;
  const std::uint16_t n = transmit.doChainingOrExtAPDUFlash(apdu);
  ByteArray& flash = transmit.getFlashBuffer();

  std::uint8_t keyReference = 0;
  std::uint16_t crt = 0;
  try {
    const UtilTLV::Element key = UtilTLV::findElement(flash, 0, n, 0x70);
    if (UtilTLV::elementAt(flash, key.value).length != 1) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    keyReference = flash[UtilTLV::findTag(flash, key.value, key.length, 0x84) + 2u];
    crt = UtilTLV::findTag(flash, key.value, key.length, 0xA5);
    UtilTLV::elementAt(flash, crt);
  } catch (const JavaCardRuntimeException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  } catch (const SystemException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);  // lengths that run past the gathered data
  }

  CRTKeyFile* keyFile = nullptr;
  try {
    keyFile = fileSystem->findKeyCRT(keyReference);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  keyFile->checkAccess(*pinManager, AM_WRITE);
  try {
    CapacityScope growth(runtime);
    keyFile->importKey(flash, crt);
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  } catch (const SystemException& e) {
    if (e.getReason() != SystemException::NO_RESOURCE) throw;
    ISOException::throwIt(ISO7816::SW_FILE_FULL);  // the key does not fit; the file keeps its old one
  }
}

}  // namespace quillon

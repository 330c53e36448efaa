// GET DATA and PUT DATA on data-object files: one object by its tag, or the
// whole file; objects larger than one command arrive as a PUT DATA chain.
#include "gids/BerTlvFile.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/TransmitManager.h"
#include "gids/UtilTLV.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint8_t INS_GET_DATA = 0xCB;
constexpr std::uint8_t INS_PUT_DATA = 0xDB;
constexpr std::uint8_t kTagList = 0x5C;
}  // namespace

File* GidsFileSystem::chooseDataFile(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint16_t p1p2 = Util::getShort(buffer, ISO7816::OFFSET_P1);
  File* file = nullptr;
  if (p1p2 == 0x0000) {
    file = getCurrentEF();
  } else if (p1p2 == 0xFFFF) {
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  } else {
    try {
      file = findFile(p1p2, FIND_EF);
    } catch (...) {
      ISOException::throwIt(ISO7816::SW_FILE_NOT_FOUND);
    }
  }
  if (dynamic_cast<BerTlvFile*>(file) == nullptr) ISOException::throwIt(ISO7816::SW_COMMAND_INCOMPATIBLE);
  return file;
}

void GidsFileSystem::processGetData(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_INS] != INS_GET_DATA) ISOException::throwIt(ISO7816::SW_INS_NOT_SUPPORTED);
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  auto* file = static_cast<BerTlvFile*>(chooseDataFile(apdu));
  file->checkAccess(*pinManager, AM_READ);
  const std::uint16_t id = file->fileID;
  if (id != 0x2F00 && id != 0x2F01 && id != 0x3F00 && id != 0) selectFile(file);

  std::uint16_t listLength = 0;
  std::uint16_t listValue = 0;
  try {
    const UtilTLV::Element list = UtilTLV::findElement(buffer, ISO7816::OFFSET_CDATA, lc & 0xFF, kTagList, true);
    listLength = list.length;
    listValue = list.value;
  } catch (const JavaCardRuntimeException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }

  TransmitManager& transmit = *transmitManager;
  if (listLength == 0 || (listLength == 1 && buffer[listValue] == kTagList)) {
    transmit.sendRecordList(apdu, file->children);
    return;
  }
  Record* record = nullptr;
  try {
    record = file->getData(buffer, listValue, static_cast<std::uint16_t>(ISO7816::OFFSET_CDATA + lc));
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_REFERENCED_DATA_NOT_FOUND);
  }
  transmit.sendRecord(apdu, record);
}

void GidsFileSystem::processPutData(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_INS] != INS_PUT_DATA) ISOException::throwIt(ISO7816::SW_INS_NOT_SUPPORTED);
  auto* file = static_cast<BerTlvFile*>(chooseDataFile(apdu));
  file->checkAccess(*pinManager, AM_WRITE);
  selectFile(file);
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  TransmitManager& transmit = *transmitManager;
  const bool chained = TransmitManager::isCommandChainingCLA(apdu);

  if (Record* pending = transmit.pendingRecord()) {
    const std::uint16_t filled = transmit.pendingFilled();
    const std::uint32_t total = std::uint32_t{filled} + lc;
    if (total > pending->data.length()) {
      transmit.clearPutDataState();
      ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    }
    Util::arrayCopy(buffer, ISO7816::OFFSET_CDATA, pending->data, filled, lc);
    transmit.setPendingFilled(static_cast<std::uint16_t>(total));
    if (total == pending->data.length()) {
      transmit.clearPutDataState();
    } else if (!chained) {
      // The chain ended short of the object: keep no half-written object.
      transmit.clearPutDataState();
      pending->data.zero(0, pending->data.length());
      ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    }
    return;
  }

  const std::uint16_t whole =
      UtilTLV::getCommandDataObjectSize(buffer, static_cast<std::uint16_t>(ISO7816::OFFSET_CDATA + lc));
  if (whole == 0) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  try {
    Record* record = file->addChildren(buffer, whole, lc);
    if (chained) transmit.setPendingRecord(record, lc);
  } catch (const NotEnoughSpaceException&) {
    ISOException::throwIt(ISO7816::SW_FILE_FULL);
  } catch (const SystemException& e) {
    ISOException::throwIt(e.getReason() == SystemException::NO_RESOURCE ? ISO7816::SW_FILE_FULL : ISO7816::SW_UNKNOWN);
  }
}

}  // namespace quillon

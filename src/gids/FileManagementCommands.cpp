// CREATE FILE, ACTIVATE FILE and DELETE FILE: the commands that change the file
// tree and the life cycle of its files.
#include "gids/BerTlvFile.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/UtilTLV.h"
#include "jc/CapacityScope.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint8_t kDescriptorDataObjectFile = 0x39;
constexpr std::uint8_t kDescriptorKeyFile = 0x18;

void requireP1P2Zero(const ByteArray& buffer) {
  if (buffer[ISO7816::OFFSET_P1] != 0 || buffer[ISO7816::OFFSET_P2] != 0)
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
}
}  // namespace

File* GidsFileSystem::getSafeFile(ByteArray& buffer, std::uint16_t lc) {
  constexpr std::uint16_t kData = ISO7816::OFFSET_CDATA;
  const std::uint8_t templateTag = buffer[kData];
  if (templateTag != 0x62 && templateTag != 0x6F) throwNotFound(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");

  const UtilTLV::Element body = UtilTLV::elementAt(buffer, kData);
  if (body.end() != std::uint32_t{kData} + lc) throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");
  const std::uint16_t start = body.value, length = body.length;
  if (!UtilTLV::isTLVConsistent(buffer, start, length))
    throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");

  const UtilTLV::Element idElement = UtilTLV::findElement(buffer, start, length, 0x83);
  if (idElement.length != 2) throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");
  const std::uint16_t id = Util::getShort(buffer, idElement.value);
  bool inUse = true;
  try {
    findFile(id, FIND_ANY);
  } catch (const NotFoundException&) {
    inUse = false;
  }
  if (inUse) throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");

  const UtilTLV::Element descriptorElement = UtilTLV::findElement(buffer, start, length, 0x82);
  if (descriptorElement.length < 1 || descriptorElement.length > 6)
    throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");
  const std::uint8_t descriptor = buffer[descriptorElement.value];

  // Every file needs compact security attributes: without them no command could
  // ever activate, use or delete it.
  if (UtilTLV::findElement(buffer, start, length, 0x8C).length < 1)
    throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");

  std::uint16_t crtAt = 0, crtLength = 0;
  if (descriptor == kDescriptorKeyFile) {
    try {
      crtAt = UtilTLV::findTag(buffer, start, length, 0xA5);
      crtLength = UtilTLV::elementAt(buffer, crtAt).length;
    } catch (const NotFoundException&) {
      throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");
    }
    CRTKeyFile::CheckCRT(crtLength);
  } else if (descriptor != kDescriptorDataObjectFile) {
    throwInvalidArguments(__FILE__, __LINE__, "GidsFileSystem::getSafeFile");  // no DFs, nothing else
  }

  getCurrentDF()->checkAccess(*pinManager, AM_WRITE);

  ByteArray fcpCopy(lc, runtime.persistentMemory(), JC_HERE("GidsFileSystem::getSafeFile"));
  Util::arrayCopy(buffer, kData, fcpCopy, 0, lc);
  File* file = nullptr;
  if (descriptor == kDescriptorKeyFile) {
    file = makePersistent<CRTKeyFile>(runtime, JC_HERE("GidsFileSystem::getSafeFile"), runtime, id, std::move(fcpCopy),
                                      static_cast<std::uint16_t>(crtAt - kData), crtLength);
  } else {
    file = makePersistent<BerTlvFile>(runtime, JC_HERE("GidsFileSystem::getSafeFile"), runtime, id, std::move(fcpCopy));
  }
  if (file == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  return file;
}

void GidsFileSystem::processCreateFile(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  requireP1P2Zero(buffer);
  const std::uint16_t lc = apdu.setIncomingAndReceive();
  try {
    CapacityScope growth(runtime);
    File* file = getSafeFile(buffer, lc);
    DedicatedFile* df = getCurrentDF();
    file->parent = df;
    try {
      df->addChildren(file);
    } catch (...) {
      destroyPersistent(runtime, file, JC_HERE("GidsFileSystem::processCreateFile"));
      throw;
    }
    selectFile(file);
  } catch (const NotFoundException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);  // a full DF says "not found" too
  } catch (const InvalidArgumentsException&) {
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  } catch (const NotEnoughSpaceException&) {
    ISOException::throwIt(ISO7816::SW_FILE_FULL);
  } catch (const SystemException& e) {
    ISOException::throwIt(e.getReason() == SystemException::NO_RESOURCE ? ISO7816::SW_FILE_FULL : ISO7816::SW_UNKNOWN);
  }
}

void GidsFileSystem::processActivateFile(APDU& apdu) {
  requireP1P2Zero(apdu.getBuffer());
  File* target = getCurrentEF();
  if (target == nullptr) target = getCurrentDF();
  target->checkAccess(*pinManager, AM_ACTIVATE);
  target->setState(STATE_OPERATIONAL);
  if (target == this) pinManager->SetInitializationMode(false);
}

void GidsFileSystem::processDeleteFile(APDU& apdu) {
  requireP1P2Zero(apdu.getBuffer());
  if (apdu.setIncomingAndReceive() != 0) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
  File* target = getCurrentEF();
  if (target == nullptr) target = getCurrentDF();
  if (target == this) ISOException::throwIt(ISO7816::SW_COMMAND_NOT_ALLOWED);
  target->checkAccess(*pinManager, AM_DELETE);
  DedicatedFile* parentDF = target->parent != nullptr ? target->parent : this;
  selection[0] = static_cast<File*>(parentDF);
  selection[1] = nullptr;
  try {
    parentDF->deleteChildren(target->fileID);
  } catch (...) {
    ISOException::throwIt(ISO7816::SW_FILE_NOT_FOUND);
  }
}

}  // namespace quillon

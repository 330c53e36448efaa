#include "gids/GidsFileSystem.h"

#include "base/Trace.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsPINManager.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Util.h"

namespace quillon {

GidsFileSystem::GidsFileSystem(IJCRuntime& rt, GidsPINManager* pins, TransmitManager* transmit, ByteArray fcpTemplate,
                               ByteArray fciTemplate, ByteArray fmdTemplate)
    : ApplicationFile(rt, kRootID, std::move(fcpTemplate), std::move(fciTemplate), std::move(fmdTemplate)),
      pinManager(pins),
      transmitManager(transmit),
      selection(rt.makeTransientObjectArray(2, CLEAR_ON_RESET)) {
  selection[0] = static_cast<File*>(this);
}

File* GidsFileSystem::findFile(std::uint16_t id, std::uint8_t mode) {
  QTRACE(trace::kVerbose, "GidsFileSystem::findFile", "findFile %04X %d", id, mode);
  if (id == fileID && mode != FIND_EF) return this;
  return findChildrenRec(id, mode);
}

CRTKeyFile* GidsFileSystem::findKeyCRT(std::uint8_t keyReference) {
  QTRACE(trace::kVerbose, "GidsFileSystem::findKeyCRT", "findKeyCRT %02X", keyReference);
  auto* keyFile = dynamic_cast<CRTKeyFile*>(findFile(static_cast<std::uint16_t>(0xB000 | keyReference), FIND_EF));
  if (keyFile == nullptr) throwNotFound(__FILE__, __LINE__, "GidsFileSystem::findKeyCRT");
  return keyFile;
}

void GidsFileSystem::selectFile(File* file) {
  QTRACE(trace::kVerbose, "GidsFileSystem::selectFile", "selectFile %04X", file->fileID);
  if (file->isDF()) {
    selection[0] = file;
    selection[1] = nullptr;
  } else if (file->isEF()) {
    selection[1] = file;
    selection[0] = file->parent;
    if (currentRecordNum != 0) runtime.noteStateChange();  // it is stored
    currentRecordNum = 0;
  }
}

File* GidsFileSystem::getCurrentEF() { return static_cast<File*>(selection[1]); }

DedicatedFile* GidsFileSystem::getCurrentDF() {
  // The selection holds files; the current DF is always a DF (the root when
  // nothing else was chosen, which a card reset also restores).
  auto* df = static_cast<File*>(selection[0]);
  return df != nullptr ? static_cast<DedicatedFile*>(df) : this;
}

void GidsFileSystem::sendTemplate(APDU& apdu, const ByteArray& tmpl) {
  if (tmpl.empty()) return;
  // The template is sent whole, as its one-byte length field says.
  const std::uint16_t n = static_cast<std::uint16_t>(tmpl[1] + 2);
  ByteArray& buffer = apdu.getBuffer();
  Util::arrayCopy(tmpl, 0, buffer, 0, n);
  apdu.setOutgoingAndSend(0, n);
}

void GidsFileSystem::processSelectFile(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t p1 = buffer[ISO7816::OFFSET_P1];
  const std::uint8_t p2 = buffer[ISO7816::OFFSET_P2];
  if ((p2 & 0xF3) != 0) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  const std::uint16_t lc = apdu.setIncomingAndReceive();

  File* file = nullptr;
  if (p1 == 0x00) {
    if (lc == 0) {
      file = this;
    } else if (lc == 2) {
      const std::uint16_t id = Util::getShort(buffer, ISO7816::OFFSET_CDATA);
      if (id == kCurrentDF) {
        file = this;
      } else {
        try {
          file = findFile(id, FIND_ANY);
        } catch (...) {
          QTRACE(trace::kError, "GidsFileSystem::processSelectFile", "File ID not found: %04X", id);
          ISOException::throwIt(ISO7816::SW_FILE_NOT_FOUND);
        }
      }
    } else {
      // A file identifier is two bytes; anything else names no file.
      ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
    }
  } else if (p1 == 0x04) {
    try {
      file = matchesDFName(buffer, ISO7816::OFFSET_CDATA, lc) ? this : findDedicatedFileByNameRec(buffer, lc);
    } catch (...) {
      QTRACE(trace::kInformation, "GidsFileSystem::processSelectFile", "DF name not found");
      ISOException::throwIt(ISO7816::SW_FILE_NOT_FOUND);
    }
  } else {
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  }

  selectFile(file);  // current from here on, even if the answer fails

  switch (p2 & 0xFC) {
    case 0x00:
    case 0x08: {
      if (!file->isApplicationFile()) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
      const auto* app = static_cast<ApplicationFile*>(file);
      const ByteArray& tmpl = (p2 & 0xFC) == 0x00 ? app->fci : app->fmd;
      if (tmpl.empty()) ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
      sendTemplate(apdu, tmpl);
      break;
    }
    case 0x04: sendTemplate(apdu, file->fcp); break;
    default:  // 0C: no answer data
      break;
  }
}

}  // namespace quillon

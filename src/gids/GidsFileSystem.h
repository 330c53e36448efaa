// The GIDS application DF (identifier 3F00), root of the card's file tree. It
// keeps the current DF and current EF, finds files by identifier, by DF name and
// by key reference, and handles the file commands: SELECT, CREATE FILE, ACTIVATE
// FILE, DELETE FILE, GET DATA and PUT DATA of data-object files.
#pragma once

#include <cstdint>

#include "gids/ApplicationFile.h"
#include "jc/APDU.h"

namespace quillon {

class CRTKeyFile;
class GidsPINManager;
class TransmitManager;

class GidsFileSystem final : public ApplicationFile {
 public:
  static constexpr std::uint16_t kRootID = 0x3F00;
  static constexpr std::uint16_t kCurrentDF = 0x3FFF;

  GidsFileSystem(IJCRuntime& runtime, GidsPINManager* pinManager, TransmitManager* transmitManager, ByteArray fcp,
                 ByteArray fci, ByteArray fmd);

  // NotFoundException when there is no such file (of the kind the mode asks for).
  File* findFile(std::uint16_t fileID, std::uint8_t mode);
  CRTKeyFile* findKeyCRT(std::uint8_t keyReference);
  void selectFile(File* file);
  File* getCurrentEF();
  DedicatedFile* getCurrentDF();

  void serialize(IArchive& archive) override;

  void processSelectFile(APDU& apdu);
  void processCreateFile(APDU& apdu);
  void processActivateFile(APDU& apdu);
  void processDeleteFile(APDU& apdu);
  void processGetData(APDU& apdu);
  void processPutData(APDU& apdu);

  std::uint16_t currentRecordNum = 0;
  GidsPINManager* pinManager;
  TransmitManager* transmitManager;
  JCArray<void*> selection;

 private:
  File* getSafeFile(ByteArray& buffer, std::uint16_t lc);
  // The data-object file that GET DATA / PUT DATA address with P1 P2.
  File* chooseDataFile(APDU& apdu);
  void sendTemplate(APDU& apdu, const ByteArray& tmpl);
};

}  // namespace quillon

// The card's state document: every class's serialize(), in document order. The
// same code writes the state and reads it back into a freshly installed applet;
// values read from a document are checked before the card relies on them (a
// container can be made by anyone who has the stick and this program).
#include "gids/StateDocument.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/Trace.h"
#include "gids/BerTlvFile.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsApplet.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/TransmitManager.h"
#include "gids/UtilTLV.h"
#include "jc/Exceptions.h"
#include "jc/PersistentObject.h"

namespace quillon {

namespace {

constexpr std::uint8_t FILE_NULL = 0;
constexpr std::uint8_t FILE_BER_TLV = 1;
constexpr std::uint8_t FILE_KEY = 2;
constexpr std::uint8_t FILE_DF = 3;
constexpr std::uint16_t kMinCapacity = 10;

// A loaded value the card cannot live with stops the load; the archive keeps
// what was wrong, so that the refusal can name the value.
[[noreturn]] __attribute__((format(printf, 3, 4))) void refuse(IArchive& archive, const char* function,
                                                               const char* format, ...) {
  char what[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  archive.refuse(what);
  throwSerialization(__FILE__, __LINE__, function);
}

// `value` of attribute `name` may not exceed `limit` (`limitName`, the attribute
// that holds the limit, or null for a fixed one).
void requireAtMost(IArchive& archive, const char* function, const char* name, unsigned value, unsigned limit,
                   const char* limitName = nullptr) {
  if (value <= limit) return;
  if (limitName != nullptr)
    refuse(archive, function, "%s holds %u, past its limit %s %u", name, value, limitName, limit);
  refuse(archive, function, "%s holds %u, past its limit %u", name, value, limit);
}

}  // namespace

std::string stripTrailingUnderscore(const char* name) {
  std::string s(name);
  if (s.size() < 128 && !s.empty() && s.back() == '_') s.pop_back();
  return s;
}

void ioFile(IArchive& archive, File*& file) {
  IJCRuntime& runtime = archive.getRuntime();
  if (archive.isStoring()) {
    const char* name = "NullFile";
    std::uint8_t type = FILE_NULL;
    if (file == nullptr) {
    } else if (dynamic_cast<BerTlvFile*>(file) != nullptr) {
      name = "BerTlvFile", type = FILE_BER_TLV;
    } else if (dynamic_cast<CRTKeyFile*>(file) != nullptr) {
      name = "CRTKeyFile", type = FILE_KEY;
    } else if (file->isDF()) {
      name = "DedicatedFile", type = FILE_DF;
    } else {
      QTRACE(trace::kError, "IArchive::ioFile", "ioFile: unknown File subtype");
    }
    ScopedElement element(archive, name);
    archive.io("type", type);
    if (type != FILE_NULL) file->serialize(archive);
    return;
  }

  destroyPersistent(runtime, std::exchange(file, nullptr), JC_HERE("IArchive::ioFile"));
  ScopedElement element(archive, "File");
  std::uint8_t type = FILE_NULL;
  archive.io("type", type);
  const auto where = JC_HERE("IArchive::ioFile");
  PersistentPtr<File> loaded(runtime, nullptr, where);
  switch (type) {
    case FILE_NULL: return;
    case FILE_BER_TLV: loaded.reset(makePersistent<BerTlvFile>(runtime, where, runtime, 0, ByteArray())); break;
    case FILE_KEY: loaded.reset(makePersistent<CRTKeyFile>(runtime, where, runtime, 0, ByteArray(), 0, 0)); break;
    case FILE_DF: loaded.reset(makePersistent<DedicatedFile>(runtime, where, runtime, 0, ByteArray())); break;
    default:
      QTRACE(trace::kError, "IArchive::ioFile", "ioFile: unknown FileTag %u", static_cast<unsigned>(type));
      refuse(archive, "IArchive::ioFile", "type holds %u, which is no kind of file (0 to 3)",
             static_cast<unsigned>(type));
  }
  if (!loaded) SystemException::throwIt(SystemException::NO_RESOURCE);
  loaded->state = 0;
  loaded->serialize(archive);
  file = loaded.release();
}

std::uint16_t keySizeFromCRT(CRTKeyFile& file) {
  const ByteArray& fcp = file.fcp;
  if (fcp.empty() || file.lenCRT < 4) return 2048;
  try {
    const std::uint16_t b8 = UtilTLV::findTag(fcp, static_cast<std::uint16_t>(file.posCRT + 2), file.lenCRT, 0xB8);
    const std::uint16_t length = UtilTLV::elementAt(fcp, b8).length;
    const std::uint16_t at80 = UtilTLV::findTag(fcp, static_cast<std::uint16_t>(b8 + 2), length, 0x80);
    switch (fcp[at80 + 2u]) {
      case 0x06: return 1024;
      case 0x07: return 2048;
      case 0x08: return 3072;
      case 0x09: return 4096;
      default: return 2048;
    }
  } catch (...) {
    return 2048;
  }
}

void GidsApplet::serialize(IArchive& archive) {
  ScopedElement element(archive, "GidsApplet");
  bool hasPinMgr = static_cast<bool>(pinManager);
  bool hasTxMgr = static_cast<bool>(transmitManager);
  bool hasFs = static_cast<bool>(fileSystem);
  archive.io("hasPinMgr", hasPinMgr);
  archive.io("hasTxMgr", hasTxMgr);
  archive.io("hasFs", hasFs);
  if (hasPinMgr && pinManager) pinManager->serialize(archive);
  if (hasTxMgr && transmitManager) transmitManager->serialize(archive);
  if (hasFs && fileSystem) {
    if (!archive.isStoring()) {
      fileSystem->pinManager = pinManager.get();
      fileSystem->transmitManager = transmitManager.get();
    }
    fileSystem->serialize(archive);
  }
}

void OwnerPIN::serialize(IArchive& archive) {
  ScopedElement element(archive, "OwnerPIN");
  QUILLON_IO(archive, tryLimit_);
  QUILLON_IO(archive, maxSize_);
  QUILLON_IO(archive, triesRemaining_);
  QUILLON_IO(archive, pinLen_);
  QUILLON_IO(archive, initialized_);
  archive.ioRaw(value, sizeof value);
  if (!archive.isStoring()) {
    static constexpr const char* kFunction = "OwnerPIN::serialize";
    requireAtMost(archive, kFunction, "pinLen", pinLen_, kValueSize);
    requireAtMost(archive, kFunction, "maxSize", maxSize_, kValueSize);
    requireAtMost(archive, kFunction, "triesRemaining", triesRemaining_, tryLimit_, "tryLimit");
  }
}

void GidsPIN::serialize(IArchive& archive) {
  ScopedElement element(archive, "GidsPIN");
  QUILLON_IO(archive, currentPINLen_);
  QUILLON_IO(archive, minPINSize_);
  QUILLON_IO(archive, maxPINSize_);
  QUILLON_IO(archive, tryLimit_);
  OwnerPIN::serialize(archive);
  if (!archive.isStoring()) {
    static constexpr const char* kFunction = "GidsPIN::serialize";
    if (minPINSize_ < 1) refuse(archive, kFunction, "minPINSize holds 0, below its least value 1");
    requireAtMost(archive, kFunction, "minPINSize", minPINSize_, maxPINSize_, "maxPINSize");
    requireAtMost(archive, kFunction, "maxPINSize", maxPINSize_, maxSize_, "maxSize");
    requireAtMost(archive, kFunction, "currentPINLen", currentPINLen_, maxSize_, "maxSize");
  }
}

void GidsPINManager::serialize(IArchive& archive) {
  ScopedElement element(archive, "GidsPINManager");
  QUILLON_IO(archive, isInInitializationMode_);
  bool hasPin = pin != nullptr;
  archive.io("hasPin", hasPin);
  if (!archive.isStoring()) {
    destroyPersistent(runtime, std::exchange(pin, nullptr), JC_HERE("GidsPINManager::serialize"));
    pin = makePersistent<GidsPIN>(runtime, JC_HERE("GidsPINManager::serialize"), runtime);
    if (pin == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  }
  if (hasPin) pin->serialize(archive);
  if (!archive.isStoring()) makeTransientState();
}

void TransmitManager::serialize(IArchive& archive) {
  ScopedElement element(archive, "TransmitManager");
  if (archive.isStoring()) return;
  makeTransientState();
  clearFlashBuffer();
}

// What a DF and a data-object file write first: identifier, state, how many
// children follow (at most 255 on loading), and the FCP. Returns that count.
static std::uint16_t serializeFileHeader(IArchive& archive, File& file, std::uint8_t childCount, const char* function) {
  archive.io("fileID", file.fileID);
  archive.io("state", file.state);
  std::uint16_t count = childCount;
  archive.io("childCount", count);
  serializeJCByteArray(archive, "fcp", file.fcp);
  if (!archive.isStoring()) {
    file.computeSecAttrOffset();
    requireAtMost(archive, function, "childCount", count, 0xFF);
  }
  return count;
}

void DedicatedFile::serializeContent(IArchive& archive) {
  const std::uint16_t childCount16 = serializeFileHeader(archive, *this, childCount, "DedicatedFile::serialize");
  if (archive.isStoring()) {
    for (std::uint8_t i = 0; i < childCount; ++i) ioFile(archive, children[i]);
    return;
  }
  parent = nullptr;
  clearContents();
  children = JCArray<File*>(std::max(childCount16, kMinCapacity), runtime.persistentMemory(),
                            JC_HERE("DedicatedFile::serialize"));
  for (std::uint16_t i = 0; i < childCount16; ++i) {
    File* child = nullptr;
    ioFile(archive, child);
    if (child == nullptr) continue;
    child->parent = this;
    children[childCount++] = child;
  }
}

void DedicatedFile::serialize(IArchive& archive) { serializeContent(archive); }

void GidsFileSystem::serialize(IArchive& archive) {
  ScopedElement element(archive, "GidsFileSystem");
  QUILLON_IO(archive, currentRecordNum);
  serializeContent(archive);
  serializeJCByteArray(archive, "fci", fci);
  serializeJCByteArray(archive, "fmd", fmd);
  if (!archive.isStoring()) {
    selection[0] = static_cast<File*>(this);
    selection[1] = nullptr;
  }
}

void BerTlvFile::serialize(IArchive& archive) {
  const std::uint16_t childCount16 = serializeFileHeader(archive, *this, childCount, "BerTlvFile::serialize");
  if (archive.isStoring()) {
    for (std::uint8_t i = 0; i < childCount; ++i) {
      ScopedElement record(archive, "Record");
      serializeJCByteArray(archive, "data", children[i]->data);
    }
    return;
  }
  clearContents();
  children = JCArray<Record*>(std::max(childCount16, kMinCapacity), runtime.persistentMemory(),
                              JC_HERE("BerTlvFile::serialize"));
  for (std::uint16_t i = 0; i < childCount16; ++i) {
    Record* record = makePersistent<Record>(runtime, JC_HERE("BerTlvFile::serialize"), runtime, 0);
    if (record == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
    children[childCount++] = record;
    ScopedElement element(archive, "Record");
    serializeJCByteArray(archive, "data", record->data);
  }
}

void CRTKeyFile::serialize(IArchive& archive) {
  QUILLON_IO(archive, fileID);
  QUILLON_IO(archive, state);
  QUILLON_IO(archive, posCRT);
  QUILLON_IO(archive, lenCRT);
  bool hasKeyPair = keyPair != nullptr;
  bool hasSymKey = !symmetricKey.empty();
  archive.io("hasKeyPair", hasKeyPair);
  archive.io("hasSymKey", hasSymKey);
  if (!archive.isStoring()) clearContents();
  if (hasSymKey) {
    std::uint16_t symmetricKeyLen = symmetricKey.length();
    QUILLON_IO(archive, symmetricKeyLen);
    if (!archive.isStoring())
      symmetricKey = ByteArray(symmetricKeyLen, runtime.persistentMemory(), JC_HERE("CRTKeyFile::serialize"));
    if (symmetricKeyLen > 0 && symmetricKey.length() == symmetricKeyLen)
      archive.ioRaw(symmetricKey.data(), symmetricKeyLen);
  }
  serializeJCByteArray(archive, "fcp", fcp);
  if (!archive.isStoring()) computeSecAttrOffset();
  if (!hasKeyPair) return;
  if (!archive.isStoring()) {
    keyPair = runtime.createKeyPair(2, keySizeFromCRT(*this));
    if (keyPair == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  }
  keyPair->serialize(archive);
}

}  // namespace quillon

#include "gids/BerTlvFile.h"

#include <algorithm>

#include "base/Trace.h"
#include "gids/UtilTLV.h"
#include "jc/CapacityScope.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint16_t kData = 5;  // the object starts at the command data
constexpr std::uint16_t kInitialCapacity = 10;
}  // namespace

BerTlvFile::BerTlvFile(IJCRuntime& rt, std::uint16_t id, ByteArray template_)
    : ElementaryFile(rt, id, std::move(template_)),
      children(kInitialCapacity, rt.persistentMemory(), JC_HERE("BerTlvFile::BerTlvFile")) {}

BerTlvFile::~BerTlvFile() { clearContents(); }

Record* BerTlvFile::makeRecord(const ByteArray& buffer, std::uint16_t size, std::uint16_t copied) {
  Record* record = makePersistent<Record>(runtime, JC_HERE("BerTlvFile::addChildren"), runtime, size);
  if (record == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  try {
    if (copied > record->data.length()) throwIndexOutOfBounds();
    Util::arrayCopy(buffer, kData, record->data, 0, copied);
  } catch (...) {
    destroyPersistent(runtime, record, JC_HERE("BerTlvFile::addChildren"));
    throw;
  }
  return record;
}

void BerTlvFile::grow() {
  const std::uint32_t doubled = children.length() * 2u;
  std::uint16_t capacity = kMaxRecords;
  if (doubled <= kMaxRecords)
    capacity = static_cast<std::uint16_t>(doubled);
  else if (childCount >= kMaxRecords)
    throwNotEnoughSpace(__FILE__, __LINE__, "BerTlvFile::addChildren");
  JCArray<Record*> larger(capacity, runtime.persistentMemory(), JC_HERE("BerTlvFile::addChildren"));
  for (std::uint8_t i = 0; i < childCount; ++i) larger[i] = children[i];
  children = std::move(larger);
  if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
}

Record* BerTlvFile::addChildren(ByteArray& buffer, std::uint16_t whole, std::uint16_t available) {
  QTRACE(trace::kVerbose, "BerTlvFile::addChildren", "addChildren");
  const std::uint16_t copied = std::min(whole, available);
  const std::uint16_t end = static_cast<std::uint16_t>(kData + available);

  for (std::uint8_t i = 0; i < childCount; ++i) {
    Record* existing = children[i];
    if (!UtilTLV::isTagEqual(buffer, kData, end, existing->data)) continue;
    const std::uint16_t oldLength = UtilTLV::getValueLength(existing->data, 0, existing->data.length());
    const std::uint16_t newLength = UtilTLV::getValueLength(buffer, kData, end);
    if (oldLength == 0 && newLength == 0) {
      deleteChildren(i);
      return nullptr;
    }
    if (oldLength == newLength) {
      if (copied > existing->data.length()) throwIndexOutOfBounds();
      Util::arrayCopy(buffer, kData, existing->data, 0, copied);
      return existing;
    }
    // A different size: the new object goes to the end of the list. The old one
    // goes only once the new one is made, so a larger one must fit the capacity
    // beside it; a smaller one (an erasure) may borrow the working reserve.
    Record* replacement = nullptr;
    if (whole > existing->data.length()) {
      CapacityScope growth(runtime);
      replacement = makeRecord(buffer, whole, copied);
    } else {
      replacement = makeRecord(buffer, whole, copied);
    }
    deleteChildren(i);
    children[childCount++] = replacement;
    runtime.noteStateChange();
    return replacement;
  }

  // The record first, then the room for it: a refusal of either changes nothing.
  CapacityScope growth(runtime);
  Record* record = makeRecord(buffer, whole, copied);
  if (childCount >= children.length()) {
    try {
      grow();
    } catch (...) {
      destroyPersistent(runtime, record, JC_HERE("BerTlvFile::addChildren"));
      throw;
    }
  }
  children[childCount++] = record;
  runtime.noteStateChange();
  return record;
}

void BerTlvFile::releaseRecord(std::uint8_t index) {
  Record* record = children[index];
  record->data.zero(0, record->data.length());
  destroyPersistent(runtime, record, JC_HERE("BerTlvFile::deleteChildren"));
  children[index] = nullptr;
  runtime.noteStateChange();
}

void BerTlvFile::deleteChildren(std::uint8_t index) {
  QTRACE(trace::kVerbose, "BerTlvFile::deleteChildren", "deleteChildren %d", index);
  if (index >= children.length() || index >= childCount) throwIndexOutOfBounds();
  releaseRecord(index);
  --childCount;
  if (index < childCount) {
    children[index] = children[childCount];
    children[childCount] = nullptr;
  }
  if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
}

void BerTlvFile::clearContents() {
  QTRACE(trace::kVerbose, "BerTlvFile::clearContents", "clearContents");
  for (std::uint8_t i = 0; i < childCount; ++i) releaseRecord(i);
  childCount = 0;
}

Record* BerTlvFile::getData(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end) {
  for (std::uint8_t i = 0; i < childCount; ++i)
    if (UtilTLV::isTagEqual(buffer, offset, end, children[i]->data)) return children[i];
  throwNotFound(__FILE__, __LINE__, "BerTlvFile::getData");
}

}  // namespace quillon

#include "gids/DedicatedFile.h"

#include "base/Trace.h"
#include "gids/UtilTLV.h"
#include "jc/PersistentObject.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint16_t kInitialCapacity = 10;
}  // namespace

bool DedicatedFile::findTemplateValue(const ByteArray& tmpl, std::uint8_t tag, std::uint16_t& value,
                                      std::uint16_t& length) {
  if (tmpl.length() < 2) return false;
  try {
    const UtilTLV::Element element = UtilTLV::findElement(tmpl, 2, tmpl[1], tag);
    length = element.length;
    value = element.value;
    return true;
  } catch (...) {
    return false;
  }
}

DedicatedFile::DedicatedFile(IJCRuntime& rt, std::uint16_t id, ByteArray template_)
    : File(rt, id, std::move(template_)),
      children(kInitialCapacity, rt.persistentMemory(), JC_HERE("DedicatedFile::DedicatedFile")) {}

DedicatedFile::~DedicatedFile() { clearContents(); }

bool DedicatedFile::matchesDFName(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  std::uint16_t value = 0, nameLength = 0;
  if (!findTemplateValue(fcp, 0x84, value, nameLength) || nameLength != length) return false;
  try {
    return Util::arrayCompare(buffer, offset, fcp, value, length) == 0;
  } catch (const SystemException&) {
    return false;  // the name would run past the FCP or the command
  }
}

File* DedicatedFile::findChildrenRec(std::uint16_t id, std::uint8_t mode) {
  File* match = nullptr;
  for (std::uint8_t i = 0; i < childCount; ++i) {
    File* child = children[i];
    if (child->fileID == id) {
      match = child;
      break;
    }
    if (child->isDF()) {
      try {
        return static_cast<DedicatedFile*>(child)->findChildrenRec(id, mode);
      } catch (const NotFoundException&) {
        // not in this subtree; go on with the next sibling
      }
    }
  }
  if (match != nullptr) {
    if (mode == FIND_ANY || (mode == FIND_DF && match->isDF()) || (mode == FIND_EF && match->isEF())) return match;
  }
  throwNotFound(__FILE__, __LINE__, "DedicatedFile::findChildrenRec");
}

DedicatedFile* DedicatedFile::findDedicatedFileByNameRec(const ByteArray& buffer, std::uint16_t length) {
  for (std::uint8_t i = 0; i < childCount; ++i) {
    File* child = children[i];
    if (!child->isDF()) continue;
    auto* df = static_cast<DedicatedFile*>(child);
    if (df->matchesDFName(buffer, 5, length)) return df;
    try {
      return df->findDedicatedFileByNameRec(buffer, length);
    } catch (const NotFoundException&) {
    }
  }
  throwNotFound(__FILE__, __LINE__, "DedicatedFile::findDedicatedFileByNameRec");
}

void DedicatedFile::addChildren(File* child) {
  QTRACE(trace::kInformation, "DedicatedFile::addChildren", "addChildren %02X", child->fileID);
  if (childCount >= children.length()) {
    const std::uint32_t doubled = children.length() * 2u;
    std::uint16_t capacity = kMaxChildren;
    if (doubled <= kMaxChildren)
      capacity = static_cast<std::uint16_t>(doubled);
    else if (childCount >= kMaxChildren)
      throwNotFound(__FILE__, __LINE__, "DedicatedFile::addChildren");
    JCArray<File*> larger(capacity, runtime.persistentMemory(), JC_HERE("DedicatedFile::addChildren"));
    for (std::uint8_t i = 0; i < childCount; ++i) larger[i] = children[i];
    children = std::move(larger);
    if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
  }
  children[childCount++] = child;
  runtime.noteStateChange();
}

void DedicatedFile::destroyChild(std::uint8_t index, const SourceLocation& where) {
  File* child = children[index];
  child->clearContents();
  destroyPersistent(runtime, child, where);
  children[index] = nullptr;
  runtime.noteStateChange();
}

void DedicatedFile::deleteChildren(std::uint16_t id) {
  QTRACE(trace::kInformation, "DedicatedFile::deleteChildren", "deleteChildren %02X", id);
  std::uint8_t index = 255;
  for (std::uint8_t i = 0; i < childCount; ++i) {
    if (children[i]->fileID == id) {
      index = i;
      break;
    }
  }
  if (index >= children.length() || index >= childCount) throwIndexOutOfBounds();
  destroyChild(index, JC_HERE("DedicatedFile::deleteChildren"));
  --childCount;
  if (index < childCount) {
    children[index] = children[childCount];
    children[childCount] = nullptr;
  }
  if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
}

void DedicatedFile::clearContents() {
  QTRACE(trace::kVerbose, "DedicatedFile::clearContents", "clearContents");
  for (std::uint8_t i = 0; i < childCount; ++i) destroyChild(i, JC_HERE("DedicatedFile::clearContents"));
  childCount = 0;
}

}  // namespace quillon

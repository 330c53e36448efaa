// The card's file tree: File is what every file carries (identifier, FCP template,
// life-cycle state, parent) and the access rule that decides from the state and
// the FCP's compact security attributes whether a command may use the file.
// Files live in blocks of the runtime's persistent memory; a DF owns its children.
#pragma once

#include <cstdint>

#include "jc/IArchive.h"
#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"

namespace quillon {

class DedicatedFile;
class File;
class GidsPINManager;
class Record;

template <>
struct JCArrayNames<File*> {
  static constexpr const char* destructor = "JCArray<class File *>::~JCArray";
  static constexpr const char* assign = "JCArray<class File *>::operator =";
};
template <>
struct JCArrayNames<Record*> {
  static constexpr const char* destructor = "JCArray<class Record *>::~JCArray";
  static constexpr const char* assign = "JCArray<class Record *>::operator =";
};

// Life-cycle states, as ISO 7816-4 codes them.
inline constexpr std::uint8_t STATE_CREATION = 0x01;
inline constexpr std::uint8_t STATE_OPERATIONAL = 0x07;
inline constexpr std::uint8_t STATE_TERMINATION = 0x0F;

// Access-mode bits of the compact security attributes.
inline constexpr std::uint8_t AM_DELETE = 0x40;
inline constexpr std::uint8_t AM_TERMINATE = 0x20;
inline constexpr std::uint8_t AM_ACTIVATE = 0x10;
inline constexpr std::uint8_t AM_GENERATE = 0x08;
inline constexpr std::uint8_t AM_MANAGE_SE = 0x04;
inline constexpr std::uint8_t AM_WRITE = 0x02;  // PUT DATA, key import, CREATE FILE
inline constexpr std::uint8_t AM_READ = 0x01;   // GET DATA

inline constexpr std::uint16_t NO_SECURITY_ATTRIBUTES = 0xFFFF;

class File {
 public:
  // Takes over the FCP template; the file starts in its creation state.
  File(IJCRuntime& runtime, std::uint16_t fileID, ByteArray fcp);
  virtual ~File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  virtual bool isApplicationFile() const { return false; }
  virtual bool isDF() const { return false; }
  virtual bool isEF() const { return false; }
  // Discards everything the file holds (children, records, keys).
  virtual void clearContents() = 0;
  // The rest of the file's element in the state document (ioFile writes its kind).
  virtual void serialize(IArchive& archive) = 0;

  // Returns when the command may use the file in this access mode; otherwise
  // throws ISOException 6985 (creation state), 6285 (terminated) or 6982.
  void checkAccess(GidsPINManager& pinManager, std::uint8_t accessMode);

  // Moves the file to a life-cycle state, noting the change of the stored card.
  void setState(std::uint8_t lifeCycle) noexcept {
    if (state != lifeCycle) runtime.noteStateChange();
    state = lifeCycle;
  }

  // Finds the 8C tag of the FCP again (after the FCP was replaced).
  void computeSecAttrOffset();

  IJCRuntime& runtime;
  std::uint16_t fileID;
  DedicatedFile* parent = nullptr;
  ByteArray fcp;
  std::uint16_t secAttrOffset = NO_SECURITY_ATTRIBUTES;
  std::uint8_t state = STATE_CREATION;
};

class ElementaryFile : public File {
 public:
  using File::File;
  bool isEF() const override { return true; }
};

}  // namespace quillon

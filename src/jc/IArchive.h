// The interface through which every card object writes its state into, or reads
// it back from, the state document: the same serialize() code walks the object
// graph in both directions, and isStoring() tells which. Element names are the
// document's; values become attributes of the element that is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon {

class IJCRuntime;

class IArchive {
 public:
  virtual ~IArchive() = default;
  virtual IJCRuntime& getRuntime() = 0;
  virtual bool isStoring() const = 0;
  virtual void pushElem(const char* name) = 0;
  virtual void popElem() = 0;
  virtual void io(const char* name, std::int32_t& value) = 0;
  virtual void io(const char* name, std::int16_t& value) = 0;
  virtual void io(const char* name, std::int8_t& value) = 0;
  virtual void io(const char* name, bool& value) = 0;
  virtual void io(const char* name, std::uint64_t& value) = 0;
  virtual void io(const char* name, std::uint32_t& value) = 0;
  virtual void io(const char* name, std::uint16_t& value) = 0;
  virtual void io(const char* name, std::uint8_t& value) = 0;
  // A buffer of variable length: an empty vector stands for "no buffer".
  virtual void ioBlob(std::vector<std::uint8_t>& data) = 0;
  // A buffer whose length the caller knows.
  virtual void ioRaw(std::uint8_t* data, std::size_t length) = 0;
  // A loaded value the card refuses, said in words (numbers only, never a byte
  // string): a reading archive keeps it to tell why the document was refused.
  virtual void refuse(const char* /*what*/) {}
};

}  // namespace quillon

// A PIN with a try counter: a wrong value decrements it, a right one restores it,
// and at zero the PIN is blocked. `validated` records a correct presentation
// until it is reset; it is never stored. Every change of a stored field is
// noted with the runtime.
#pragma once

#include <cstdint>

#include "jc/IArchive.h"
#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"

namespace quillon {

class OwnerPIN {
 public:
  static constexpr std::uint8_t kValueSize = 32;

  OwnerPIN(IJCRuntime& runtime, std::uint8_t tryLimit, std::uint8_t maxSize);
  virtual ~OwnerPIN();
  OwnerPIN(const OwnerPIN&) = delete;
  OwnerPIN& operator=(const OwnerPIN&) = delete;

  virtual bool check(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length);
  virtual std::uint8_t getTriesRemaining() { return triesRemaining_; }
  virtual bool isValidated() { return validated; }
  virtual void reset() { validated = false; }
  virtual void resetAndUnblock();
  // Sets a new value of at most maxSize_ bytes (a longer one is ignored).
  virtual void update(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length);
  virtual void serialize(IArchive& archive);

  std::uint8_t tryLimit_;
  std::uint8_t maxSize_;
  std::uint8_t triesRemaining_;
  std::uint8_t value[kValueSize] = {};
  std::uint8_t pinLen_ = 0;
  bool validated = false;
  bool initialized_ = false;

 protected:
  // Sets the try counter, noting a change when it is one.
  void setTries(std::uint8_t tries) noexcept;

  IJCRuntime& runtime_;
};

}  // namespace quillon

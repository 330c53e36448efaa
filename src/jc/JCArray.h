// JCArray<T>: the array type of the runtime and the applet. It knows its length
// (16-bit) and the memory its storage came from, checks every index, and moves
// rather than copies. An array with a null allocator is a view of storage that
// someone else owns.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "jc/Exceptions.h"
#include "jc/SmartCardMemory.h"

namespace quillon {

// The location names an array's storage is released under, per element type.
template <class T>
struct JCArrayNames {
  static constexpr const char* destructor = "JCArray<T>::~JCArray";
  static constexpr const char* assign = "JCArray<T>::operator =";
};
template <>
struct JCArrayNames<unsigned char> {
  static constexpr const char* destructor = "JCArray<unsigned char>::~JCArray";
  static constexpr const char* assign = "JCArray<unsigned char>::operator =";
};
template <>
struct JCArrayNames<unsigned short> {
  static constexpr const char* destructor = "JCArray<unsigned short>::~JCArray";
  static constexpr const char* assign = "JCArray<unsigned short>::operator =";
};
template <>
struct JCArrayNames<void*> {
  static constexpr const char* destructor = "JCArray<void *>::~JCArray";
  static constexpr const char* assign = "JCArray<void *>::operator =";
};

template <class T>
class JCArray {
 public:
  JCArray() noexcept = default;

  // Owned storage of `length` zero-filled elements from `allocator`.
  JCArray(std::uint16_t length, ISmartCardMemory& allocator, const SourceLocation& where) : allocator_(&allocator) {
    if (length > 0) {
      data_ = static_cast<T*>(allocator.allocate(std::uint64_t{length} * sizeof(T), where));  // zero-filled
      length_ = length;
    }
  }

  // A view of `length` elements that this array never frees.
  static JCArray view(T* data, std::uint16_t length) noexcept {
    JCArray a;
    a.data_ = length > 0 ? data : nullptr;
    a.length_ = a.data_ ? length : 0;
    return a;
  }

  ~JCArray() { release(JCArrayNames<T>::destructor, __LINE__); }

  JCArray(const JCArray&) = delete;
  JCArray& operator=(const JCArray&) = delete;

  JCArray(JCArray&& other) noexcept { take(other); }

  // Frees this array's storage, then takes the other's; the other becomes empty.
  JCArray& operator=(JCArray&& other) noexcept {
    if (this != &other) {
      release(JCArrayNames<T>::assign, __LINE__);
      take(other);
    }
    return *this;
  }

  T& operator[](std::uint32_t index) {
    if (index >= length_) throwIndexOutOfBounds();
    return data_[index];
  }
  const T& operator[](std::uint32_t index) const {
    if (index >= length_) throwIndexOutOfBounds();
    return data_[index];
  }

  std::uint16_t length() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  ISmartCardMemory* allocator() const noexcept { return allocator_; }

  // Raw access for bulk copies; callers check their ranges with checkRange first.
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }

  // Throws SystemException 0x6700 unless offset + count (without 16-bit wrap) fits.
  void checkRange(std::uint32_t offset, std::uint32_t count) const {
    if (offset > length_ || count > length_ - offset) throwIndexOutOfBounds();
  }

  // Zeroes count elements from offset; count 0 does nothing wherever offset lies.
  void zero(std::uint32_t offset, std::uint32_t count) {
    if (count == 0) return;
    checkRange(offset, count);
    std::memset(static_cast<void*>(data_ + offset), 0, std::size_t{count} * sizeof(T));
    noteWrite();
  }

  // Tells the array's memory that its content changed (writes through data()
  // or operator[] say so themselves; Util's helpers and zero() do it for them).
  void noteWrite() const noexcept {
    if (allocator_ != nullptr) allocator_->noteChange();
  }

 private:
  void release(const char* function, std::uint32_t line) noexcept {
    if (data_ != nullptr && length_ > 0 && allocator_ != nullptr) allocator_->free(data_, __FILE__, function, line);
    data_ = nullptr;
    length_ = 0;
  }

  void take(JCArray& other) noexcept {
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    allocator_ = std::exchange(other.allocator_, nullptr);
  }

  T* data_ = nullptr;
  std::uint16_t length_ = 0;
  ISmartCardMemory* allocator_ = nullptr;
};

using ByteArray = JCArray<std::uint8_t>;

}  // namespace quillon

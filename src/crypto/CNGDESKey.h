// A three-key triple-DES key of the card: 24 key bytes inside the object, wiped
// when cleared or destroyed. The object lives in a persistent block; the caller of
// buildKey destroys it.
#pragma once

#include <array>
#include <cstdint>

#include "jc/Key.h"

namespace quillon {

class IJCRuntime;

class CNGDESKey final : public DESKey {
 public:
  static constexpr std::uint16_t kKeyLength = 24;

  explicit CNGDESKey(IJCRuntime& runtime) noexcept : runtime_(runtime) {}
  ~CNGDESKey() override;
  CNGDESKey(const CNGDESKey&) = delete;
  CNGDESKey& operator=(const CNGDESKey&) = delete;

  std::uint16_t getSize() override { return size_; }
  bool isInitialized() override { return initialized_; }
  void clearKey() override;

  // Both move kKeyLength bytes at offset; getKey of an unset key returns 0.
  void setKey(const ByteArray& buffer, std::uint16_t offset) override;
  std::uint16_t getKey(ByteArray& buffer, std::uint16_t offset) override;

  // The key bytes for the cipher.
  const std::array<std::uint8_t, kKeyLength>& keyBytes() const noexcept { return key_; }
  IJCRuntime& runtime() const noexcept { return runtime_; }

 private:
  std::array<std::uint8_t, kKeyLength> key_{};
  std::uint16_t size_ = 192;
  bool initialized_ = false;
  IJCRuntime& runtime_;
};

}  // namespace quillon

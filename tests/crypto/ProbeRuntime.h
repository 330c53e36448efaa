// What the crypto tests need of the card runtime: arrays from byte vectors and back,
// the reason of a card exception, and a runtime that records which freed private-key
// blocks still held non-zero bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "jc/Exceptions.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/TestData.h"

namespace quillon::test {

inline ByteArray toArray(IJCRuntime& runtime, const Bytes& bytes) {
  ByteArray array(static_cast<std::uint16_t>(bytes.size()), runtime.persistentMemory(), JC_HERE("test::toArray"));
  if (!bytes.empty()) std::memcpy(array.data(), bytes.data(), bytes.size());
  return array;
}

inline Bytes toBytes(const ByteArray& array, std::size_t offset = 0, std::size_t length = 0xFFFFFFFF) {
  length = std::min<std::size_t>(length, array.length() - offset);
  array.checkRange(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length));
  return Bytes(array.data() + offset, array.data() + offset + length);
}

// Runs f and checks the reason of the CryptoException or SystemException it raises.
template <class F>
void expectReason(F&& f, std::uint16_t reason) {
  try {
    f();
    ADD_FAILURE() << "no exception";
  } catch (const CryptoException& e) {
    EXPECT_EQ(e.getReason(), reason) << "CryptoException";
  } catch (const SystemException& e) {
    EXPECT_EQ(e.getReason(), reason) << "SystemException";
  }
}

class ProbeRuntime : public JCRuntimeImpl {
 public:
  void* allocatePersistent(std::uint64_t size, const char* file, const char* function, std::uint32_t line) override {
    void* p = JCRuntimeImpl::allocatePersistent(size, file, function, line);
    if (p != nullptr) live_[p] = {size, function};
    return p;
  }
  void freePersistent(void* pointer, const char* file, const char* function, std::uint32_t line) override {
    if (const auto it = live_.find(pointer); it != live_.end()) {
      const auto* bytes = static_cast<const std::uint8_t*>(pointer);
      if (std::any_of(bytes, bytes + it->second.first, [](std::uint8_t b) { return b != 0; }))
        unwiped_.push_back(it->second.second);
      live_.erase(it);
    }
    JCRuntimeImpl::freePersistent(pointer, file, function, line);
  }

  // Fails the test for every private-key block that went back unwiped, and unless `kept` blocks are left.
  void expectKeyBlocksWipedAndFreed(std::size_t kept = 0) const {
    for (const auto& f : unwiped_) EXPECT_TRUE(f.rfind("CNGRSAPrivateCrtKey::", 0) != 0 && f != "normalizeBytes") << f;
    EXPECT_EQ(persistentBlockCount(), kept);
  }

 private:
  std::map<void*, std::pair<std::uint64_t, std::string>> live_;
  std::vector<std::string> unwiped_;
};

}  // namespace quillon::test

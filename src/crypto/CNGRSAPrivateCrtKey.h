// An RSA private key of the card in CRT form: the primes p and q, d mod (p-1),
// d mod (q-1) and q^-1 mod p as big-endian arrays of the runtime's persistent
// memory, wiped whenever they are replaced or released. Only its subclass
// CNGRSAPrivateCrtKeyWithPub is ever instantiated; the holder destroys it.
#pragma once

#include <cstdint>

#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"
#include "jc/Key.h"

namespace quillon {

class CNGRSAPrivateCrtKey : public RSAPrivateCrtKey {
 public:
  enum class Component : std::uint8_t { P, Q, DP1, DQ1, PQ };

  ~CNGRSAPrivateCrtKey() override;
  CNGRSAPrivateCrtKey(const CNGRSAPrivateCrtKey&) = delete;
  CNGRSAPrivateCrtKey& operator=(const CNGRSAPrivateCrtKey&) = delete;

  std::uint16_t getSize() override { return size_; }
  bool isInitialized() override { return initialized_; }
  void clearKey() override;

  // Each setter replaces one component; the key is initialised exactly when all
  // five are non-empty, whatever order they came in.
  void setP(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  void setQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  void setDP1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  void setDQ1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  void setPQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;
  std::uint16_t getP(ByteArray& buffer, std::uint16_t offset) override;
  std::uint16_t getQ(ByteArray& buffer, std::uint16_t offset) override;

  // For the state document and the key pair factory: the fields as they are. A
  // replaced component is wiped first; the initialised flag is left to the caller.
  const ByteArray& component(Component which) const noexcept;
  void replaceComponent(Component which, ByteArray&& value) noexcept;
  void setSize(std::uint16_t bits) noexcept {
    size_ = bits;
    runtime_.noteStateChange();
  }
  void setInitialized(bool initialized) noexcept;
  IJCRuntime& runtime() const noexcept { return runtime_; }

  // Moves the five components and the initialised flag of other into this key
  // (whose own components are wiped first); other is left empty and uninitialised.
  void takeComponents(CNGRSAPrivateCrtKey& other) noexcept;

 protected:
  CNGRSAPrivateCrtKey(IJCRuntime& runtime, std::uint16_t bits) noexcept : size_(bits), runtime_(runtime) {}

  // Called after any change of a component or of the initialised flag.
  virtual void componentsChanged() noexcept {}

 private:
  void set(Component which, const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, const char* function);
  // A stored key changed: noted with the runtime, then componentsChanged().
  void changed() noexcept {
    runtime_.noteStateChange();
    componentsChanged();
  }
  ByteArray& slot(Component which) noexcept;

  ByteArray p_;
  ByteArray q_;
  ByteArray dp1_;
  ByteArray dq1_;
  ByteArray pq_;
  std::uint16_t size_;
  bool initialized_ = false;
  IJCRuntime& runtime_;
};

}  // namespace quillon

#include "crypto/CNGRSAPrivateCrtKey.h"

#include <utility>

#include "crypto/CryptoInternal.h"

namespace quillon {

using crypto_internal::replaceWiped;
using crypto_internal::wipe;

CNGRSAPrivateCrtKey::~CNGRSAPrivateCrtKey() {
  // The members then release PQ, DQ1, DP1, Q and P, in that order.
  wipe(p_);
  wipe(q_);
  wipe(dp1_);
  wipe(dq1_);
  wipe(pq_);
}

void CNGRSAPrivateCrtKey::clearKey() {
  for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
    replaceWiped(slot(c), ByteArray());
  initialized_ = false;
  changed();
}

void CNGRSAPrivateCrtKey::set(Component which, const ByteArray& buffer, std::uint16_t offset, std::uint16_t length,
                              const char* function) {
  replaceWiped(slot(which), crypto_internal::copyIn(runtime_, buffer, offset, length, JC_HERE(function)));
  initialized_ = !p_.empty() && !q_.empty() && !dp1_.empty() && !dq1_.empty() && !pq_.empty();
  changed();
}

void CNGRSAPrivateCrtKey::setP(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  set(Component::P, buffer, offset, length, "CNGRSAPrivateCrtKey::setP");
}

void CNGRSAPrivateCrtKey::setQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  set(Component::Q, buffer, offset, length, "CNGRSAPrivateCrtKey::setQ");
}

void CNGRSAPrivateCrtKey::setDP1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  set(Component::DP1, buffer, offset, length, "CNGRSAPrivateCrtKey::setDP1");
}

void CNGRSAPrivateCrtKey::setDQ1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  set(Component::DQ1, buffer, offset, length, "CNGRSAPrivateCrtKey::setDQ1");
}

void CNGRSAPrivateCrtKey::setPQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  set(Component::PQ, buffer, offset, length, "CNGRSAPrivateCrtKey::setPQ");
}

std::uint16_t CNGRSAPrivateCrtKey::getP(ByteArray& buffer, std::uint16_t offset) {
  return crypto_internal::copyOut(p_, buffer, offset);
}

std::uint16_t CNGRSAPrivateCrtKey::getQ(ByteArray& buffer, std::uint16_t offset) {
  return crypto_internal::copyOut(q_, buffer, offset);
}

const ByteArray& CNGRSAPrivateCrtKey::component(Component which) const noexcept {
  return const_cast<CNGRSAPrivateCrtKey*>(this)->slot(which);
}

void CNGRSAPrivateCrtKey::replaceComponent(Component which, ByteArray&& value) noexcept {
  replaceWiped(slot(which), std::move(value));
  changed();
}

void CNGRSAPrivateCrtKey::setInitialized(bool initialized) noexcept {
  initialized_ = initialized;
  changed();
}

void CNGRSAPrivateCrtKey::takeComponents(CNGRSAPrivateCrtKey& other) noexcept {
  if (&other == this) return;
  for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
    replaceWiped(slot(c), std::move(other.slot(c)));
  initialized_ = std::exchange(other.initialized_, false);
  other.changed();
  changed();
}

ByteArray& CNGRSAPrivateCrtKey::slot(Component which) noexcept {
  switch (which) {
    case Component::P: return p_;
    case Component::Q: return q_;
    case Component::DP1: return dp1_;
    case Component::DQ1: return dq1_;
    case Component::PQ: break;
  }
  return pq_;
}

}  // namespace quillon

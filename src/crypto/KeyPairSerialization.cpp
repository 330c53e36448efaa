// The key pair in the state document: element KeyPair with its public key
// (modulus, exponent) and private key (the five CRT components).
#include "crypto/CNGKeyPair.h"
#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "jc/ArchiveElement.h"
#include "jc/Exceptions.h"
#include "jc/PersistentObject.h"

namespace quillon {

namespace {

// A component as the state document stores it: written from the key, read into a
// fresh array that then replaces the key's.
template <class Replace>
void component(IArchive& archive, const char* name, const ByteArray& current, Replace replace) {
  if (archive.isStoring()) {
    serializeJCByteArray(archive, name, const_cast<ByteArray&>(current));
    return;
  }
  ByteArray value;
  serializeJCByteArray(archive, name, value);
  replace(std::move(value));
}

void serializePublicKey(IArchive& archive, CNGRSAPublicKey& key) {
  ScopedElement element(archive, "RSAPublicKey");
  std::uint16_t keyBits = key.getSize();
  archive.io("keyBits", keyBits);
  if (!archive.isStoring()) key.setSize(keyBits);
  component(archive, "modulus", key.modulus(), [&](ByteArray&& v) { key.replaceModulus(std::move(v)); });
  component(archive, "exponent", key.exponent(), [&](ByteArray&& v) { key.replaceExponent(std::move(v)); });
}

void serializePrivateKey(IArchive& archive, CNGRSAPrivateCrtKey& key) {
  using C = CNGRSAPrivateCrtKey::Component;
  ScopedElement element(archive, "RSAPrivateCrtKey");
  std::uint16_t keyBits = key.getSize();
  bool initialized = key.isInitialized();
  archive.io("keyBits", keyBits);
  archive.io("initialized", initialized);
  const struct {
    const char* name;
    C which;
  } components[] = {{"P", C::P}, {"Q", C::Q}, {"DP1", C::DP1}, {"DQ1", C::DQ1}, {"PQ", C::PQ}};
  for (const auto& c : components)
    component(archive, c.name, key.component(c.which),
              [&](ByteArray&& v) { key.replaceComponent(c.which, std::move(v)); });
  if (!archive.isStoring()) {
    key.setSize(keyBits);
    // A key is only usable with all five components, whatever the document says.
    bool complete = true;
    for (const auto& c : components) complete = complete && !key.component(c.which).empty();
    key.setInitialized(initialized && complete);
  }
}

}  // namespace

void CNGKeyPair::serialize(IArchive& archive) {
  ScopedElement element(archive, "KeyPair");
  std::uint16_t keyBits = size_;
  bool hasPub = public_ != nullptr;
  bool hasPriv = private_ != nullptr;
  archive.io("keyBits", keyBits);
  archive.io("hasPub", hasPub);
  archive.io("hasPriv", hasPriv);
  if (!archive.isStoring()) {
    setSize(keyBits);
    if (hasPub) {
      auto* key = makePersistent<CNGRSAPublicKey>(runtime_, JC_HERE("CNGKeyPair::serialize"), runtime_, keyBits);
      if (key == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
      replacePublic(key);
    }
    if (hasPriv) {
      auto* key = makePersistent<CNGRSAPrivateCrtKeyWithPub>(runtime_, JC_HERE("CNGKeyPair::serialize"), runtime_,
                                                             keyBits, public_);
      if (key == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
      replacePrivate(key);
    }
  }
  if (hasPub && public_ != nullptr) serializePublicKey(archive, *public_);
  if (hasPriv && private_ != nullptr) serializePrivateKey(archive, *private_);
  if (!archive.isStoring() && private_ != nullptr) private_->setPublicKey(public_);
}

}  // namespace quillon

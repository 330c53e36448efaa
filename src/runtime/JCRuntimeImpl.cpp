#include "runtime/JCRuntimeImpl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Status.h"
#include "base/Trace.h"
#include "crypto/CNGCipherFull.h"
#include "crypto/CNGDESKey.h"
#include "crypto/CNGKeyPair.h"
#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "jc/IApplet.h"
#include "jc/ISO7816.h"
#include "jc/PersistentObject.h"
#include "runtime/StateDigest.h"

namespace quillon {

JCRuntimeImpl::JCRuntimeImpl(IJCRuntimeSerializable* provider) : provider_(provider) {}

JCRuntimeImpl::~JCRuntimeImpl() {
  setApplet(nullptr);
  freeAllTransients();
  clearAllPersistent();
}

void JCRuntimeImpl::setApplet(IApplet* applet) {
  if (applet != applet_ && applet_ != nullptr) {
    // The applet's own destructor calls setApplet(null); with the current applet
    // already cleared, that inner call releases nothing.
    IApplet* old = applet_;
    applet_ = nullptr;
    destroyPersistent(*this, old, JC_HERE("JCRuntimeImpl::setApplet"));
    freeAllTransients();
    clearAllPersistent();
  }
  applet_ = applet;
  appletPresent_ = applet != nullptr;
}

void JCRuntimeImpl::persist() {
  // Nothing changed since the card was last stored: nothing to serialise or hash.
  if (provider_ == nullptr || !stateChanged_) return;
  QTRACE(trace::kVerbose, "JCRuntimeImpl::persist", "persist");
  // A failed save keeps the change noted, so that the next command tries again.
  if (provider_->save(*this) == status::S_OK) stateChanged_ = false;
}

std::uint32_t JCRuntimeImpl::transmit(const std::uint8_t* command, std::uint32_t commandLength, std::uint8_t* response,
                                      std::uint32_t& responseLength) {
  if (!appletPresent_) return status::STATUS_NO_SUCH_DEVICE;
  if (command == nullptr && commandLength > 0) return status::STATUS_INVALID_PARAMETER;

  // The APDU object and its buffers are working memory: no part of the stored card.
  const SourceLocation where = JC_HERE("JCRuntimeImpl::transmit");
  struct ApduHolder {
    ISmartCardMemory& memory;
    const SourceLocation& where;
    APDUImpl* apdu = nullptr;
    ~ApduHolder() {
      if (apdu == nullptr) return;
      apdu->~APDUImpl();
      memory.free(apdu, where);
    }
  } holder{working_, where};
  void* block = working_.allocate(sizeof(APDUImpl), where);
  try {
    holder.apdu = ::new (block) APDUImpl(working_);
  } catch (...) {
    working_.free(block, where);
    throw;
  }
  APDUImpl& apdu = *holder.apdu;

  if (commandLength > apdu.getBuffer().length()) ISOException::throwIt(ISO7816::SW_WRONG_LENGTH);
  apdu.load(command, static_cast<std::uint16_t>(commandLength), protocol_);

  std::uint16_t sw = ISO7816::SW_NO_ERROR;
  inCommand_ = true;
  try {
    if constexpr (kChecksChangeNotes)
      checkedCommand(apdu);
    else
      applet_->process(apdu);
  } catch (const ISOException& e) {
    sw = e.getReason();
  } catch (...) {
    sw = ISO7816::SW_UNKNOWN;
  }
  inCommand_ = false;
  capacityLimited_ = false;

  const std::uint32_t n = apdu.outgoingLength();
  if (response == nullptr || responseLength < n + 2) return status::STATUS_BUFFER_TOO_SMALL;
  if (n > 0) std::memcpy(response, apdu.outgoing(), n);
  response[n] = static_cast<std::uint8_t>(sw >> 8);
  response[n + 1] = static_cast<std::uint8_t>(sw);
  responseLength = n + 2;
  return status::STATUS_SUCCESS;
}

template <class T, class... Args>
T* JCRuntimeImpl::makeWorking(const SourceLocation& where, Args&&... args) {
  void* block = allocateWorking(sizeof(T), where);
  if (block == nullptr) return nullptr;
  try {
    return ::new (block) T(std::forward<Args>(args)...);
  } catch (...) {
    freePersistent(block, where);
    throw;
  }
}

void JCRuntimeImpl::checkedCommand(APDUImpl& apdu) {
  const StateDigest before = digestState(*this);
  changedInCommand_ = false;
  struct After {
    JCRuntimeImpl& runtime;
    const StateDigest& before;
    const std::uint8_t ins;
    // Also when the command ends in an exception: a refused command may not
    // change the card unnoticed either.
    ~After() {
      if (runtime.changedInCommand_ || runtime.applet_ == nullptr || digestState(runtime) == before) return;
      QTRACE(trace::kCritical, "JCRuntimeImpl::transmit",
             "command INS %02X changed the card's stored state without noting it: the change would be lost", ins);
      std::fprintf(stderr,
                   "quillon: command INS %02X changed the card's stored state without noting it "
                   "(IJCRuntime::noteStateChange); the change would never be saved\n",
                   ins);
      std::abort();
    }
  } after{*this, before, apdu.getBuffer()[1]};
  applet_->process(apdu);
}

Cipher* JCRuntimeImpl::createCipher(std::uint8_t algorithm) {
  // A cipher is never stored: it lives in working memory.
  return makeWorking<CNGCipherFull>(JC_HERE("JCRuntimeImpl::createCipher"), algorithm);
}

RandomData& JCRuntimeImpl::getRandomData(std::uint8_t /*algorithm*/) { return random_; }

Key* JCRuntimeImpl::buildKey(std::uint8_t type, std::uint16_t bits, bool /*flag*/) {
  switch (type) {
    case KeyBuilder::TYPE_DES:
      // Built for one authentication from the key file's bytes; never stored itself.
      return makeWorking<CNGDESKey>(JC_HERE("JCRuntimeImpl::buildKey"), *this);
    case KeyBuilder::TYPE_RSA_PUBLIC:
      return makePersistent<CNGRSAPublicKey>(*this, JC_HERE("JCRuntimeImpl::buildKey"), *this, bits);
    case KeyBuilder::TYPE_RSA_CRT_PRIVATE:
      return makePersistent<CNGRSAPrivateCrtKeyWithPub>(*this, JC_HERE("JCRuntimeImpl::buildKey"), *this, bits,
                                                        nullptr);
    default: CryptoException::throwIt(CryptoException::NO_SUCH_ALGORITHM);
  }
}

KeyPair* JCRuntimeImpl::createKeyPair(std::uint8_t /*algorithm*/, std::uint16_t bits) {
  try {
    return makePersistent<CNGKeyPair>(*this, JC_HERE("JCRuntimeImpl::createKeyPair"), *this, bits);
  } catch (const SystemException& e) {
    if (e.getReason() != SystemException::NO_RESOURCE) throw;
    return nullptr;  // a key's block could not be had; the pair has handed everything back
  }
}

KeyPair* JCRuntimeImpl::createKeyPairFromKeys(RSAPublicKey* publicKey, RSAPrivateCrtKey* privateKey) {
  const SourceLocation where = JC_HERE("JCRuntimeImpl::createKeyPairFromKeys");
  auto* pub = dynamic_cast<CNGRSAPublicKey*>(publicKey);
  auto* priv = dynamic_cast<CNGRSAPrivateCrtKey*>(privateKey);
  if (pub == nullptr || priv == nullptr) {
    destroyPersistent(*this, publicKey, where);
    destroyPersistent(*this, privateKey, where);
    CryptoException::throwIt(CryptoException::ILLEGAL_VALUE);
  }

  auto* linked = makePersistent<CNGRSAPrivateCrtKeyWithPub>(*this, where, *this, priv->getSize(), pub);
  if (linked == nullptr) {
    destroyPersistent(*this, pub, where);
    destroyPersistent(*this, priv, where);  // wipes the components
    return nullptr;
  }
  linked->takeComponents(*priv);
  destroyPersistent(*this, priv, where);

  auto* pair = makePersistent<CNGKeyPair>(*this, where, pub->runtime(), pub, linked, pub->getSize());
  if (pair == nullptr) {
    // No half-built pair: both keys go, as they would have gone with the pair.
    destroyPersistent(*this, pub, where);
    destroyPersistent(*this, linked, where);
  }
  return pair;
}

}  // namespace quillon

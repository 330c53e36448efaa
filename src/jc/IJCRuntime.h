// The runtime an applet is written against: it holds one applet, owns the card's
// persistent and transient memory, hands out the card's cryptographic objects and
// passes the applet's persist() request to a persistence provider. transmit() is
// the one way in: command bytes in, response data and SW1 SW2 out.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"
#include "jc/SmartCardMemory.h"

namespace quillon {

class Cipher;
class IApplet;
class IJCRuntime;
class Key;
class KeyPair;
class RandomData;
class RSAPrivateCrtKey;
class RSAPublicKey;

// A persistence provider: saves the runtime's applet state (an HRESULT, 0 on success).
class IJCRuntimeSerializable {
 public:
  virtual std::uint32_t save(IJCRuntime& runtime) = 0;

 protected:
  ~IJCRuntimeSerializable() = default;  // owned and released by whoever made it
};

// Clear events of transient memory.
inline constexpr std::uint8_t CLEAR_ON_RESET = 1;
inline constexpr std::uint8_t CLEAR_ON_DESELECT = 2;

class IJCRuntime {
 public:
  virtual ~IJCRuntime() = default;

  virtual ISmartCardMemory& persistentMemory() = 0;
  // Persistent blocks that hold no part of the stored card (command buffers,
  // scratch copies, chained input, ciphers): accounted like the others, but
  // neither they nor writes into them note a change.
  virtual ISmartCardMemory& workingMemory() = 0;
  // Null when no storage can be had (the persistent memory view turns that into
  // SystemException NO_RESOURCE).
  virtual void* allocatePersistent(std::uint64_t size, const char* sourceFile, const char* functionName,
                                   std::uint32_t line) = 0;
  virtual void freePersistent(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) = 0;
  // While set, persistent allocations add to the card's stored state and must fit
  // its capacity; otherwise they are working memory and may also use the reserve
  // kept for it. Returns the previous setting. Set through CapacityScope.
  virtual bool limitToCapacity(bool /*limited*/) { return false; }
  virtual void setApplet(IApplet* applet) = 0;

  virtual ISmartCardMemory& transientMemory() = 0;
  virtual JCArray<std::uint8_t> makeTransientByteArray(std::uint16_t length, std::uint8_t clearEvent) = 0;
  virtual JCArray<std::uint16_t> makeTransientShortArray(std::uint16_t length, std::uint8_t clearEvent) = 0;
  virtual JCArray<void*> makeTransientObjectArray(std::uint16_t length, std::uint8_t clearEvent) = 0;
  virtual void clearResetTransients() = 0;
  virtual void clearResetAndDeselectTransients() = 0;

  // Cryptographic objects, each in a block of persistent memory (null when none can
  // be had); the caller destroys them with destroyPersistent. getRandomData lends
  // the runtime's own generator.
  virtual Cipher* createCipher(std::uint8_t algorithm) = 0;
  virtual RandomData& getRandomData(std::uint8_t algorithm) = 0;
  virtual Key* buildKey(std::uint8_t type, std::uint16_t bits, bool flag) = 0;
  virtual KeyPair* createKeyPair(std::uint8_t algorithm, std::uint16_t bits) = 0;
  // Takes ownership of both keys.
  virtual KeyPair* createKeyPairFromKeys(RSAPublicKey* publicKey, RSAPrivateCrtKey* privateKey) = 0;

  virtual std::uint8_t getProtocol() = 0;
  virtual bool isObjectDeletionSupported() = 0;
  virtual void requestObjectDeletion() = 0;
  // Saves the card through the persistence provider when its stored state
  // changed since it was last saved or loaded; an unchanged card costs nothing.
  virtual void persist() = 0;
  // Change tracking: every persistent block that comes or goes, every write into
  // persistent memory and every change of a stored field notes a change;
  // the persistence provider says when the state as it stands is the stored one.
  virtual void noteStateChange() noexcept = 0;
  virtual bool stateChanged() const noexcept = 0;
  virtual void noteStateStored() noexcept = 0;
  virtual IApplet* getApplet() = 0;

  // Returns 0, or STATUS_NO_SUCH_DEVICE without an applet, or
  // STATUS_BUFFER_TOO_SMALL when the response does not fit responseLength.
  // A command longer than the 512-byte command buffer raises ISOException 0x6700.
  virtual std::uint32_t transmit(const std::uint8_t* command, std::uint32_t commandLength, std::uint8_t* response,
                                 std::uint32_t& responseLength) = 0;

  void* allocatePersistent(std::uint64_t size, const SourceLocation& where) {
    return allocatePersistent(size, where.file, where.function, where.line);
  }
  void freePersistent(void* pointer, const SourceLocation& where) {
    freePersistent(pointer, where.file, where.function, where.line);
  }
};

}  // namespace quillon

// The runtime: holds one applet, turns command bytes into an APDU object, calls the
// applet's process() and turns whatever it throws into a status word. It models
// the card's persistent and transient memory on the process heap and accounts for
// every block, reporting the persistent blocks still held when the applet goes.
// Persistent memory has a capacity (StateLimits.h) that keeps every state a
// command can reach within what the container loader accepts.
// The runtime knows when the stored card changed (IJCRuntime::noteStateChange):
// persist() hands an unchanged card to nobody. Built with QUILLON_STATE_CHECK
// (the dev build), it also digests the card's state around every command and
// aborts when a command changed it without noting the change: a change the
// tracking missed would be an update the container never receives.
// Used by one thread at a time; it has no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef QUILLON_STATE_CHECK
#define QUILLON_STATE_CHECK 0
#endif

#include "crypto/CNGRandomData.h"
#include "jc/APDU.h"
#include "jc/IJCRuntime.h"

namespace quillon {

class JCRuntimeImpl : public IJCRuntime {
 public:
  explicit JCRuntimeImpl(IJCRuntimeSerializable* provider = nullptr);
  ~JCRuntimeImpl() override;
  JCRuntimeImpl(const JCRuntimeImpl&) = delete;
  JCRuntimeImpl& operator=(const JCRuntimeImpl&) = delete;

  ISmartCardMemory& persistentMemory() override { return persistent_; }
  ISmartCardMemory& workingMemory() override { return working_; }
  void* allocatePersistent(std::uint64_t size, const char* sourceFile, const char* functionName,
                           std::uint32_t line) override;
  void freePersistent(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) override;
  using IJCRuntime::allocatePersistent;
  using IJCRuntime::freePersistent;
  bool limitToCapacity(bool limited) override;
  void setApplet(IApplet* applet) override;

  ISmartCardMemory& transientMemory() override { return transient_; }
  JCArray<std::uint8_t> makeTransientByteArray(std::uint16_t length, std::uint8_t clearEvent) override;
  JCArray<std::uint16_t> makeTransientShortArray(std::uint16_t length, std::uint8_t clearEvent) override;
  JCArray<void*> makeTransientObjectArray(std::uint16_t length, std::uint8_t clearEvent) override;
  void clearResetTransients() override;
  void clearResetAndDeselectTransients() override;

  Cipher* createCipher(std::uint8_t algorithm) override;
  RandomData& getRandomData(std::uint8_t algorithm) override;
  Key* buildKey(std::uint8_t type, std::uint16_t bits, bool flag) override;
  KeyPair* createKeyPair(std::uint8_t algorithm, std::uint16_t bits) override;
  // Takes both keys whatever happens: when no block can be had, both are destroyed
  // and the result is null.
  KeyPair* createKeyPairFromKeys(RSAPublicKey* publicKey, RSAPrivateCrtKey* privateKey) override;

  std::uint8_t getProtocol() override { return protocol_; }
  bool isObjectDeletionSupported() override { return true; }
  void requestObjectDeletion() override {}
  void persist() override;
  void noteStateChange() noexcept override {
    stateChanged_ = true;
    changedInCommand_ = true;
  }
  bool stateChanged() const noexcept override { return stateChanged_; }
  void noteStateStored() noexcept override { stateChanged_ = false; }
  IApplet* getApplet() override { return applet_; }

  // Whether this build digests the state around every command (QUILLON_STATE_CHECK).
  static constexpr bool kChecksChangeNotes = QUILLON_STATE_CHECK != 0;

  std::uint32_t transmit(const std::uint8_t* command, std::uint32_t commandLength, std::uint8_t* response,
                         std::uint32_t& responseLength) override;

  // Accounting, for tests and diagnostics.
  std::size_t persistentBlockCount() const noexcept;
  std::uint64_t persistentBytes() const noexcept;
  std::size_t transientBlockCount() const noexcept;
  // What the live persistent blocks may cost in the state document (limits::chargeOf).
  std::uint64_t chargedBytes() const noexcept { return charged_; }
  std::uint32_t allocationCounter() const noexcept { return allocNum_; }

  class APDUImpl;

 private:
  struct PersistentBlock;
  struct TransientBlock;

  class Persistant final : public ISmartCardMemory {
   public:
    explicit Persistant(JCRuntimeImpl& runtime) : runtime_(runtime) {}
    using ISmartCardMemory::allocate;
    using ISmartCardMemory::free;
    void* allocate(std::uint64_t size, const char* sourceFile, const char* functionName, std::uint32_t line) override;
    void free(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) override;
    void noteChange() noexcept override { runtime_.noteStateChange(); }

   private:
    JCRuntimeImpl& runtime_;
  };

  // Persistent blocks that hold no part of the stored card.
  class Working final : public ISmartCardMemory {
   public:
    explicit Working(JCRuntimeImpl& runtime) : runtime_(runtime) {}
    using ISmartCardMemory::allocate;
    using ISmartCardMemory::free;
    void* allocate(std::uint64_t size, const char* sourceFile, const char* functionName, std::uint32_t line) override;
    void free(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) override;

   private:
    JCRuntimeImpl& runtime_;
  };

  class Transient final : public ISmartCardMemory {
   public:
    explicit Transient(JCRuntimeImpl& runtime) : runtime_(runtime) {}
    using ISmartCardMemory::allocate;
    using ISmartCardMemory::free;
    void* allocate(std::uint64_t size, const char* sourceFile, const char* functionName, std::uint32_t line) override;
    void free(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) override;

   private:
    JCRuntimeImpl& runtime_;
  };

  // A persistent block; one that holds stored state notes a change as it comes and goes.
  void* allocateBlock(std::uint64_t size, const char* sourceFile, const char* functionName, std::uint32_t line,
                      bool holdsState);
  // A block of working memory, through allocatePersistent.
  void* allocateWorking(std::uint64_t size, const SourceLocation& where);
  // Like makePersistent, in working memory.
  template <class T, class... Args>
  T* makeWorking(const SourceLocation& where, Args&&... args);
  // Runs the command between two digests of the stored state and aborts when
  // they differ while no change was noted (the dev build's check).
  void checkedCommand(APDUImpl& apdu);
  void* allocateTransient(std::uint64_t size);
  void freeTransient(void* pointer);
  // Whether a command may take a block of `size` bytes now.
  bool admits(std::uint64_t size) const noexcept;
  void freeAllTransients();
  void clearAllPersistent();
  PersistentBlock* findPersistent(const void* pointer) const noexcept;
  void clearTransients(std::uint8_t clearEvent);
  template <class T>
  JCArray<T> makeTransientArray(std::uint16_t length);

  Persistant persistent_{*this};
  Working working_{*this};
  Transient transient_{*this};
  TransientBlock* transientHead_ = nullptr;
  IJCRuntimeSerializable* provider_;
  std::uint8_t protocol_ = 0;
  // Outlives the destructor's release of every block, as the card's one generator.
  CNGRandomData random_;
  IApplet* applet_ = nullptr;
  std::uint64_t charged_ = 0;
  // The capacity binds only what commands allocate: installing an applet and
  // loading a stored card never fail on it, whatever an older card holds.
  bool inCommand_ = false;
  bool capacityLimited_ = false;
  bool appletPresent_ = false;
  // A change not yet stored; a change during the current command.
  bool stateChanged_ = false;
  bool changedInCommand_ = false;
  bool allocatingWorking_ = false;
  std::uint32_t allocNum_ = 0;
  PersistentBlock* persistentHead_ = nullptr;  // the newest block
  PersistentBlock* persistentTail_ = nullptr;  // the oldest
};

// The APDU object of one command. Both buffers come from the runtime's working
// memory (persistent blocks that are no part of the stored card) and are
// released with the object.
class JCRuntimeImpl::APDUImpl final : public APDU {
 public:
  explicit APDUImpl(ISmartCardMemory& memory);
  // Wipes both buffers: commands carry PINs and keys.
  ~APDUImpl() override;

  ByteArray& getBuffer() override { return buffer_; }
  std::uint16_t setIncomingAndReceive() override;
  std::uint16_t receiveBytes(std::uint16_t offset) override;
  std::uint16_t setOutgoing() override;
  void setOutgoingLength(std::uint16_t length) override;
  void sendBytes(std::uint16_t offset, std::uint16_t length) override;
  void sendBytesLong(const ByteArray& source, std::uint16_t offset, std::uint16_t length) override;
  void setOutgoingAndSend(std::uint16_t offset, std::uint16_t length) override;
  std::uint8_t getProtocol() override { return protocol_; }

  // Loads a command into a zeroed buffer and resets the counters.
  void load(const std::uint8_t* command, std::uint16_t length, std::uint8_t protocol);
  std::uint16_t outgoingLength() const noexcept { return outgoingLength_; }
  const std::uint8_t* outgoing() const noexcept { return outgoing_.data(); }

 private:
  // Declared in release order reversed: the outgoing buffer goes first.
  ByteArray buffer_;
  ByteArray outgoing_;
  std::uint16_t outgoingLength_ = 0;
  std::uint16_t incomingLength_ = 0;
  std::uint8_t protocol_ = 0;
};

}  // namespace quillon

// The card's memory on the process heap: every block is a record followed by its
// zero-filled data, kept in a newest-first list so that the runtime can wipe
// transient content, release everything when an applet goes, and name each
// persistent block that was never handed back by the code that asked for it.
// Persistent blocks are linked both ways: owners mostly hand them back in the
// order they took them or in the reverse, so a free looks from both ends.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/Trace.h"
#include "runtime/JCRuntimeImpl.h"
#include "runtime/StateLimits.h"

namespace quillon {

struct alignas(alignof(std::max_align_t)) JCRuntimeImpl::PersistentBlock {
  PersistentBlock* next;  // older
  PersistentBlock* prev;  // newer
  std::uint32_t allocNum;
  const char* sourceFile;
  const char* functionName;
  std::uint32_t line;
  std::uint64_t size;
  // Part of the stored card (not working memory): its coming and going is a change.
  bool holdsState;

  unsigned char* data() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
  std::size_t total() const noexcept { return sizeof(PersistentBlock) + size; }
};

struct alignas(alignof(std::max_align_t)) JCRuntimeImpl::TransientBlock {
  TransientBlock* next;
  std::uint64_t size;
  std::uint8_t clearOn;

  unsigned char* data() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }
  std::size_t total() const noexcept { return sizeof(TransientBlock) + size; }
};

namespace {
// Card memory holds PINs, keys and whatever else the card stores: every block is
// wiped, record and data, before it goes back to the heap.
template <class Block>
void releaseBlock(Block* block) noexcept {
  OPENSSL_cleanse(block, block->total());
  std::free(block);
}

// A zero-filled block of a record and size data bytes; null when the heap refuses.
template <class Block>
Block* obtainBlock(std::uint64_t size) {
  if (size > std::numeric_limits<std::size_t>::max() - sizeof(Block)) return nullptr;
  void* raw = std::calloc(1, sizeof(Block) + static_cast<std::size_t>(size));
  return raw ? ::new (raw) Block{} : nullptr;
}
}  // namespace

bool JCRuntimeImpl::limitToCapacity(bool limited) { return std::exchange(capacityLimited_, limited); }

bool JCRuntimeImpl::admits(std::uint64_t size) const noexcept {
  // No byte string above kMaxBufferBytes can be read back from the document.
  if (size > limits::kMaxBufferBytes) return false;
  const std::uint64_t limit =
      capacityLimited_ ? limits::kCardCapacity : limits::kCardCapacity + limits::kWorkingReserve;
  return charged_ + limits::chargeOf(size) <= limit;
}

void* JCRuntimeImpl::allocatePersistent(std::uint64_t size, const char* sourceFile, const char* functionName,
                                        std::uint32_t line) {
  return allocateBlock(size, sourceFile, functionName, line, !allocatingWorking_);
}

void* JCRuntimeImpl::allocateWorking(std::uint64_t size, const SourceLocation& where) {
  // Through the virtual allocatePersistent, so that a derived runtime sees every block.
  struct Flag {
    bool& flag;
    explicit Flag(bool& f) : flag(f) { flag = true; }
    ~Flag() { flag = false; }
  } working(allocatingWorking_);
  return allocatePersistent(size, where);
}

void* JCRuntimeImpl::allocateBlock(std::uint64_t size, const char* sourceFile, const char* functionName,
                                   std::uint32_t line, bool holdsState) {
  if (inCommand_ && !admits(size)) {
    QTRACE_AT(sourceFile, line, functionName, trace::kWarning,
              "allocatePersistent: size=%zu refused, card memory full (%llu of %llu charged)",
              static_cast<std::size_t>(size), static_cast<unsigned long long>(charged_),
              static_cast<unsigned long long>(capacityLimited_ ? limits::kCardCapacity
                                                               : limits::kCardCapacity + limits::kWorkingReserve));
    return nullptr;
  }
  PersistentBlock* block = obtainBlock<PersistentBlock>(size);
  if (block == nullptr) return nullptr;
  charged_ += limits::chargeOf(size);
  block->line = line;
  block->sourceFile = sourceFile;
  block->functionName = functionName;
  block->size = size;
  block->holdsState = holdsState;
  if (holdsState) noteStateChange();
  block->allocNum = allocNum_++;
  block->next = persistentHead_;
  (persistentHead_ != nullptr ? persistentHead_->prev : persistentTail_) = block;
  persistentHead_ = block;
  QTRACE_AT(sourceFile, line, functionName, trace::kVerbose, "allocatePersistent: pointer=%p, size=%zu, allocNum=%u",
            static_cast<void*>(block->data()), static_cast<std::size_t>(size), block->allocNum);
  return block->data();
}

// The block whose data is `pointer`, looked for from the newest and the oldest
// block at once; null when no block has it (`pointer`, which may be stale, is
// never read through).
JCRuntimeImpl::PersistentBlock* JCRuntimeImpl::findPersistent(const void* pointer) const noexcept {
  PersistentBlock* newer = persistentHead_;
  PersistentBlock* older = persistentTail_;
  while (newer != nullptr) {
    if (newer->data() == pointer) return newer;
    if (older->data() == pointer) return older;
    if (newer == older || newer->next == older) break;
    newer = newer->next;
    older = older->prev;
  }
  return nullptr;
}

void JCRuntimeImpl::freePersistent(void* pointer, const char* sourceFile, const char* functionName,
                                   std::uint32_t line) {
  if (pointer == nullptr) return;
  PersistentBlock* block = findPersistent(pointer);
  if (block == nullptr) {
    QTRACE(trace::kError, "JCRuntimeImpl::freePersistent", "freePersistent: pointer=%p not found", pointer);
    return;
  }
  QTRACE_AT(sourceFile, line, functionName, trace::kVerbose,
            "freePersistent: pointer=%p, size=%zu, clearOn=%d, totalAlloc=%zu", static_cast<void*>(block),
            static_cast<std::size_t>(block->size), 0, block->total());
  (block->prev != nullptr ? block->prev->next : persistentHead_) = block->next;
  (block->next != nullptr ? block->next->prev : persistentTail_) = block->prev;
  charged_ -= limits::chargeOf(block->size);
  if (block->holdsState) noteStateChange();
  releaseBlock(block);
}

void JCRuntimeImpl::clearAllPersistent() {
  QTRACE(trace::kVerbose, "JCRuntimeImpl::clearAllPersistent", "clearAllPersistent");
  while (persistentHead_ != nullptr) {
    PersistentBlock* block = persistentHead_;
    QTRACE_AT(block->sourceFile, block->line, block->functionName, trace::kVerbose, "Memory Leaked (persistent) %p %d",
              static_cast<void*>(block->data()), static_cast<int>(block->allocNum));
    persistentHead_ = block->next;
    releaseBlock(block);
  }
  persistentTail_ = nullptr;
  charged_ = 0;
}

void* JCRuntimeImpl::allocateTransient(std::uint64_t size) {
  TransientBlock* block = obtainBlock<TransientBlock>(size);
  QTRACE(trace::kVerbose, "JCRuntimeImpl::allocateTransient",
         "allocateTransient: pointer=%p, size=%zu, clearOn=%d, totalAlloc=%zu", static_cast<void*>(block),
         static_cast<std::size_t>(size), CLEAR_ON_RESET, sizeof(TransientBlock) + static_cast<std::size_t>(size));
  if (block == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  block->size = size;
  block->clearOn = CLEAR_ON_RESET;
  block->next = transientHead_;
  transientHead_ = block;
  return block->data();
}

void JCRuntimeImpl::freeTransient(void* pointer) {
  if (pointer == nullptr) return;
  for (TransientBlock** link = &transientHead_; *link != nullptr; link = &(*link)->next) {
    TransientBlock* block = *link;
    if (block->data() != pointer) continue;
    QTRACE(trace::kVerbose, "JCRuntimeImpl::freeTransient",
           "freeTransient: pointer=%p, size=%zu, clearOn=%d, totalAlloc=%zu", static_cast<void*>(block),
           static_cast<std::size_t>(block->size), 0, block->total());
    *link = block->next;
    releaseBlock(block);
    return;
  }
  QTRACE(trace::kError, "JCRuntimeImpl::freeTransient", "freeTransient: pointer=%p not found", pointer);
}

void JCRuntimeImpl::freeAllTransients() {
  QTRACE(trace::kVerbose, "JCRuntimeImpl::freeAllTransients", "freeAllTransients");
  while (transientHead_ != nullptr) {
    TransientBlock* block = transientHead_;
    transientHead_ = block->next;
    releaseBlock(block);
  }
}

void JCRuntimeImpl::clearTransients(std::uint8_t clearEvent) {
  for (TransientBlock* b = transientHead_; b != nullptr; b = b->next)
    if (b->clearOn == clearEvent) std::memset(b->data(), 0, static_cast<std::size_t>(b->size));
}

void JCRuntimeImpl::clearResetTransients() { clearTransients(CLEAR_ON_RESET); }

void JCRuntimeImpl::clearResetAndDeselectTransients() {
  clearTransients(CLEAR_ON_RESET);
  clearTransients(CLEAR_ON_DESELECT);
}

template <class T>
JCArray<T> JCRuntimeImpl::makeTransientArray(std::uint16_t length) {
  // The transient view records no location; the block's trace names allocateTransient.
  return JCArray<T>(length, transient_, SourceLocation{__FILE__, "JCRuntimeImpl::makeTransientArray", __LINE__});
}

JCArray<std::uint8_t> JCRuntimeImpl::makeTransientByteArray(std::uint16_t length, std::uint8_t /*clearEvent*/) {
  return makeTransientArray<std::uint8_t>(length);
}

JCArray<std::uint16_t> JCRuntimeImpl::makeTransientShortArray(std::uint16_t length, std::uint8_t /*clearEvent*/) {
  return makeTransientArray<std::uint16_t>(length);
}

JCArray<void*> JCRuntimeImpl::makeTransientObjectArray(std::uint16_t length, std::uint8_t /*clearEvent*/) {
  return makeTransientArray<void*>(length);
}

std::size_t JCRuntimeImpl::persistentBlockCount() const noexcept {
  std::size_t n = 0;
  for (const PersistentBlock* b = persistentHead_; b != nullptr; b = b->next) ++n;
  return n;
}

std::uint64_t JCRuntimeImpl::persistentBytes() const noexcept {
  std::uint64_t n = 0;
  for (const PersistentBlock* b = persistentHead_; b != nullptr; b = b->next) n += b->size;
  return n;
}

std::size_t JCRuntimeImpl::transientBlockCount() const noexcept {
  std::size_t n = 0;
  for (const TransientBlock* b = transientHead_; b != nullptr; b = b->next) ++n;
  return n;
}

void* JCRuntimeImpl::Persistant::allocate(std::uint64_t size, const char* sourceFile, const char* functionName,
                                          std::uint32_t line) {
  void* p = runtime_.allocatePersistent(size, sourceFile, functionName, line);
  if (p == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  return p;
}

void JCRuntimeImpl::Persistant::free(void* pointer, const char* sourceFile, const char* functionName,
                                     std::uint32_t line) {
  runtime_.freePersistent(pointer, sourceFile, functionName, line);
}

void* JCRuntimeImpl::Working::allocate(std::uint64_t size, const char* sourceFile, const char* functionName,
                                       std::uint32_t line) {
  void* p = runtime_.allocateWorking(size, SourceLocation{sourceFile, functionName, line});
  if (p == nullptr) SystemException::throwIt(SystemException::NO_RESOURCE);
  return p;
}

void JCRuntimeImpl::Working::free(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) {
  runtime_.freePersistent(pointer, sourceFile, functionName, line);
}

void* JCRuntimeImpl::Transient::allocate(std::uint64_t size, const char*, const char*, std::uint32_t) {
  return runtime_.allocateTransient(size);
}

void JCRuntimeImpl::Transient::free(void* pointer, const char*, const char*, std::uint32_t) {
  runtime_.freeTransient(pointer);
}

}  // namespace quillon

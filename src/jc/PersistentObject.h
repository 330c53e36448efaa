// Card objects (the applet, its managers and files, keys, ciphers) live in blocks
// of the runtime's persistent memory, so that the runtime can account for them and
// report the ones never handed back. These two helpers are the only place where
// such objects are constructed and destroyed.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "jc/IJCRuntime.h"

namespace quillon {

// Constructs a T in a new persistent block; null when no block can be had. A
// constructor that throws hands its block back before the exception goes on.
template <class T, class... Args>
T* makePersistent(IJCRuntime& runtime, const SourceLocation& where, Args&&... args) {
  void* block = runtime.allocatePersistent(sizeof(T), where);
  if (block == nullptr) return nullptr;
  try {
    return ::new (block) T(std::forward<Args>(args)...);
  } catch (...) {
    runtime.freePersistent(block, where);
    throw;
  }
}

// Destroys an object made by makePersistent (seen through any of its bases) and
// hands its block back. Null is ignored.
template <class T>
void destroyPersistent(IJCRuntime& runtime, T* object, const SourceLocation& where) noexcept {
  if (object == nullptr) return;
  void* block;
  if constexpr (std::is_polymorphic_v<T>)
    block = dynamic_cast<void*>(object);
  else
    block = object;
  object->~T();
  runtime.freePersistent(block, where);
}

// Owns a card object until it is handed on: destroys it (and hands its block
// back) when it goes out of scope. For objects under construction or on the way
// to their owner, so that an exception in between leaks nothing.
template <class T>
class PersistentPtr {
 public:
  PersistentPtr(IJCRuntime& runtime, T* object, const SourceLocation& where) noexcept
      : runtime_(&runtime), object_(object), where_(where) {}
  ~PersistentPtr() { reset(); }
  PersistentPtr(const PersistentPtr&) = delete;
  PersistentPtr& operator=(const PersistentPtr&) = delete;

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  T* release() noexcept { return std::exchange(object_, nullptr); }
  // Destroys the object held, then holds `object`.
  void reset(T* object = nullptr) noexcept { destroyPersistent(*runtime_, std::exchange(object_, object), where_); }

 private:
  IJCRuntime* runtime_;
  T* object_;
  SourceLocation where_;
};

}  // namespace quillon

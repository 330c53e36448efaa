// The card's memory as the applet sees it: an allocator interface that hands out
// zero-filled blocks and takes them back, each request naming the place in the
// code that made it (the runtime's accounting reports leaks by that place).
#pragma once

#include <cstdint>

namespace quillon {

// A place in the code, recorded by reference with each persistent block.
struct SourceLocation {
  const char* file;
  const char* function;
  std::uint32_t line;
};

}  // namespace quillon

// The caller's file and line with the function name it is known by in traces.
#define JC_HERE(function) (::quillon::SourceLocation{__FILE__, (function), __LINE__})

namespace quillon {

class ISmartCardMemory {
 public:
  virtual ~ISmartCardMemory() = default;
  // size zero-filled bytes; throws SystemException NO_RESOURCE when none can be had.
  virtual void* allocate(std::uint64_t size, const char* sourceFile, const char* functionName, std::uint32_t line) = 0;
  virtual void free(void* pointer, const char* sourceFile, const char* functionName, std::uint32_t line) = 0;
  // Something wrote into a block of this memory: the card's persistent memory
  // notes a change of the stored card (IJCRuntime::noteStateChange); memory
  // that holds no part of it ignores the call.
  virtual void noteChange() noexcept {}

  void* allocate(std::uint64_t size, const SourceLocation& where) {
    return allocate(size, where.file, where.function, where.line);
  }
  void free(void* pointer, const SourceLocation& where) { free(pointer, where.file, where.function, where.line); }
};

}  // namespace quillon

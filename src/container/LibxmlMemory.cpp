#include "container/LibxmlMemory.h"

#include <libxml/parser.h>
#include <libxml/xmlmemory.h>
#include <malloc.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/Trace.h"

namespace quillon::container {
namespace {

// The blocks are plain malloc blocks whose size the C library tells, not blocks
// with a size header: libxml2 may already hold blocks from malloc when these
// functions are installed (in a host process that used it first), and still hold
// ours when they are taken back, so each side must be able to free the other's.
void wipingFree(void* block) {
  if (block == nullptr) return;
  OPENSSL_cleanse(block, ::malloc_usable_size(block));
  std::free(block);
}

void* wipingMalloc(std::size_t size) { return std::malloc(size); }

// Always a new block: realloc would leave the old one behind unwiped.
void* wipingRealloc(void* block, std::size_t size) {
  if (block == nullptr) return std::malloc(size);
  void* moved = std::malloc(std::max<std::size_t>(size, 1));
  if (moved == nullptr) return nullptr;  // the old block stays, as with realloc
  std::memcpy(moved, block, std::min(size, ::malloc_usable_size(block)));
  wipingFree(block);
  return moved;
}

char* wipingStrdup(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

class Setup {
 public:
  Setup() {
    if (xmlMemGet(&free_, &malloc_, &realloc_, &strdup_) == 0 && free_ == ::free && malloc_ == ::malloc &&
        realloc_ == ::realloc) {
      installed_ = xmlMemSetup(wipingFree, wipingMalloc, wipingRealloc, wipingStrdup) == 0;
    }
    if (!installed_)
      QTRACE(trace::kWarning, "initLibxml", "initLibxml: libxml2 has memory functions of its own; they stay");
    xmlInitParser();
  }

  // libxml2 may outlive this code (the reader driver is unloaded from a daemon
  // that goes on): it must not be left calling functions that are gone.
  ~Setup() {
    xmlFreeFunc free = nullptr;
    xmlMallocFunc malloc = nullptr;
    xmlReallocFunc realloc = nullptr;
    xmlStrdupFunc strdup = nullptr;
    if (installed_ && xmlMemGet(&free, &malloc, &realloc, &strdup) == 0 && free == wipingFree)
      xmlMemSetup(free_, malloc_, realloc_, strdup_);
  }

  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;

 private:
  xmlFreeFunc free_ = nullptr;
  xmlMallocFunc malloc_ = nullptr;
  xmlReallocFunc realloc_ = nullptr;
  xmlStrdupFunc strdup_ = nullptr;
  bool installed_ = false;
};

}  // namespace

void initLibxml() {
  // Initialised once, with other threads waiting, before any of them reaches libxml2.
  static Setup setup;
}

}  // namespace quillon::container

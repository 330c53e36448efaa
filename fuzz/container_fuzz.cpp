// A state document from a hostile container, read into a fresh applet: a failed
// or refused load is fine; a crash, a leak or an out-of-bounds read is not.
#include <cstddef>
#include <cstdint>
#include <span>

#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/Exceptions.h"
#include "jc/JCRuntimeImpl.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JCRuntimeImpl runtime;
  GidsAppletInstaller installer;
  try {
    FilePersist::restoreHeap(std::span<const std::uint8_t>(data, size), runtime, installer);
  } catch (const JavaCardRuntimeException&) {
  } catch (const SystemException&) {
  }
  return 0;
}

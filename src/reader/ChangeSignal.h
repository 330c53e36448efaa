// Wakes the reader's presence wait: a request that changes the card (EJECT,
// SWALLOW, a failed load, stopping) notifies; the waiter also wakes when the
// kernel reports a change of the mount table on a watched mountinfo descriptor.
// Owns its eventfd.
#pragma once

#include <chrono>

#include "base/FileHandle.h"

namespace quillon::reader {

class ChangeSignal {
 public:
  ChangeSignal();  // throws std::system_error when no eventfd can be had
  ChangeSignal(const ChangeSignal&) = delete;
  ChangeSignal& operator=(const ChangeSignal&) = delete;

  void notify() noexcept;

  // Returns once notified (consuming every notification so far), when `mountInfo`
  // (an open mountinfo descriptor, or -1) reports a mount change, or after
  // `timeout`, whichever comes first.
  void wait(int mountInfo, std::chrono::milliseconds timeout) noexcept;

 private:
  FileHandle event_;
};

}  // namespace quillon::reader

// Marks the allocations of a command that add to the card's stored state (a new
// object, file or key): while a scope lives they must fit the card capacity and
// may not eat into the reserve kept for the working memory of commands.
#pragma once

#include "jc/IJCRuntime.h"

namespace quillon {

class CapacityScope {
 public:
  explicit CapacityScope(IJCRuntime& runtime) : runtime_(runtime), previous_(runtime.limitToCapacity(true)) {}
  ~CapacityScope() { runtime_.limitToCapacity(previous_); }
  CapacityScope(const CapacityScope&) = delete;
  CapacityScope& operator=(const CapacityScope&) = delete;

 private:
  IJCRuntime& runtime_;
  bool previous_;
};

}  // namespace quillon

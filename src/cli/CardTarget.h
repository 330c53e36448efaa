// Which card a quillon-card command works on: a drive (the mount point of a USB
// stick, whose device gives the identity the container key is derived from), or
// a directory standing in for a drive with the identity given explicitly.
#pragma once

#include <optional>
#include <string>

#include "cli/Arguments.h"
#include "personalise/CreateSecureContainer.h"
#include "platform/SystemPaths.h"

namespace quillon::cli {

struct CardTarget {
  std::string drive;
  std::optional<DeviceIdentity> identity;  // given with --identity
  const DeviceIdentity* identityOrNull() const { return identity ? &*identity : nullptr; }
};

// `drive` is the drive named by the command (a positional word or --drive), null
// when none; --dir and --identity come from `args`. False with a message.
bool resolveTarget(const std::string* drive, const Arguments& args, CardTarget& target, std::string& error);

// The /proc and /sys roots: the system's, unless QUILLON_PROC_ROOT and
// QUILLON_SYS_ROOT point at a tree that describes other devices (for tests).
platform::SystemPaths systemPaths();

}  // namespace quillon::cli

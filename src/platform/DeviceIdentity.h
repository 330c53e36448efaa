// The identity strings of a USB storage device as its storage descriptor gives
// them: what the container key is derived from, and what names a stick when it
// comes back. Plain values owned by the holder.
#pragma once

#include <string>

namespace quillon::platform {

struct DeviceIdentity {
  std::string vendor;    // INQUIRY vendor, trailing blanks removed
  std::string product;   // INQUIRY product (sysfs `model`)
  std::string revision;  // INQUIRY revision (sysfs `rev`)
  std::string serial;    // the USB device's serial number; empty when it has none

  friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

}  // namespace quillon::platform

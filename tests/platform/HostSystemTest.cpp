// The platform layer against this machine's own /proc and /sys: it must read
// real kernel text without crashing and must not accept a fixed system disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Status.h"
#include "platform/DeviceDetails.h"
#include "platform/Drives.h"

namespace quillon::platform {
namespace {

TEST(HostSystem, RootDiskIsNotAcceptedAndListingWorks) {
  const SystemPaths host;
  const std::uint32_t type = driveType(host, "/");
  if (type != DRIVE_FIXED) GTEST_SKIP() << "/ is not on a fixed block device here (type " << type << ")";

  DeviceDetails details;
  std::uint32_t error = 0;
  EXPECT_FALSE(GetDeviceDetails(host, "/", details, error));
  EXPECT_EQ(error, status::ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(details.vendor.empty());

  std::vector<std::string> drives;
  EXPECT_TRUE(listCompatibleDrives(host, drives, error));
  EXPECT_EQ(std::find(drives.begin(), drives.end(), "/"), drives.end());
  EXPECT_TRUE(std::is_sorted(drives.begin(), drives.end()));
}

}  // namespace
}  // namespace quillon::platform

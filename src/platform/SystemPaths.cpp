#include "platform/SystemPaths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "platform/internal/TextFile.h"

namespace quillon::platform {

namespace fs = std::filesystem;

SystemPaths::SystemPaths() : SystemPaths("/proc", "/sys") {}

SystemPaths SystemPaths::fromEnvironment() {
  const char* proc = std::getenv("QUILLON_PROC_ROOT");
  const char* sys = std::getenv("QUILLON_SYS_ROOT");
  return SystemPaths(proc != nullptr ? proc : "/proc", sys != nullptr ? sys : "/sys");
}

SystemPaths::SystemPaths(fs::path procRoot, fs::path sysRoot)
    : procRoot_(std::move(procRoot)), sysRoot_(std::move(sysRoot)) {}

int SystemPaths::readMountInfo(std::string& text) const {
  return internal::readTextFile(procRoot_ / "self" / "mountinfo", kMaxMountInfoBytes, text);
}

fs::path SystemPaths::blockDeviceLink(std::uint32_t major, std::uint32_t minor) const {
  return sysRoot_ / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
}

namespace {

// Whether `path` has every component of `root` as its prefix and at least one more.
bool strictlyBelow(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // the empty name a trailing separator leaves
    if (p == path.end() || *p != *r) return false;
  }
  return std::any_of(p, path.end(), [](const fs::path& part) { return !part.empty(); });
}

int errnoOf(const std::error_code& ec) {
  return ec.category() == std::generic_category() || ec.category() == std::system_category() ? ec.value() : EIO;
}

}  // namespace

int SystemPaths::resolve(const fs::path& path, fs::path& resolved) const {
  resolved.clear();
  std::error_code ec;
  const fs::path root = fs::canonical(sysRoot_, ec);
  if (ec) return errnoOf(ec);
  fs::path target = fs::canonical(path, ec);
  if (ec) return errnoOf(ec);
  if (!strictlyBelow(target, root)) return EXDEV;
  resolved = std::move(target);
  return 0;
}

bool SystemPaths::below(const fs::path& dir) const {
  std::error_code ec;
  const fs::path root = fs::canonical(sysRoot_, ec);
  return !ec && strictlyBelow(dir, root);
}

int SystemPaths::readAttribute(const fs::path& file, std::string& text) const {
  return internal::readTextFile(file, kMaxAttributeBytes, text);
}

bool SystemPaths::exists(const fs::path& file) const {
  std::error_code ec;
  return fs::exists(file, ec) && !ec;
}

}  // namespace quillon::platform

#include "platform/VolumePath.h"

#include <cerrno>
#include <charconv>

#include "base/Status.h"
#include "base/Utf8.h"
#include "platform/MountInfo.h"
#include "platform/StorageVolume.h"
#include "platform/internal/SysfsAttributes.h"

namespace quillon::platform {

namespace fs = std::filesystem;

namespace {

bool isAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos;
}

// A block device's `dev` attribute: "major:minor" and one final newline.
bool parseDeviceNumber(std::string_view text, std::uint32_t& major, std::uint32_t& minor) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return false;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  auto [afterMajor, e1] = std::from_chars(begin, begin + colon, major);
  if (e1 != std::errc() || afterMajor != begin + colon) return false;
  auto [afterMinor, e2] = std::from_chars(begin + colon + 1, end, minor);
  return e2 == std::errc() && afterMinor == end;
}

std::uint32_t lookupError(int err) { return status::win32FromErrno(err == EXDEV ? ENOENT : err); }

// Appends one code point as UTF-16LE.
void appendUnit(std::vector<std::uint8_t>& out, char32_t unit) {
  out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

// The code point starting at text[i], advancing i; false for malformed UTF-8
// (bad lead or continuation byte, truncation, overlong form, surrogate, > U+10FFFF).
bool nextCodePoint(std::string_view text, std::size_t& i, char32_t& c) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t extra = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    c = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    c = lead & 0x1F;
    extra = 1;
    min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    c = lead & 0x0F;
    extra = 2;
    min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    c = lead & 0x07;
    extra = 3;
    min = 0x10000;
  } else {
    return false;
  }
  if (extra > text.size() - i - 1) return false;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

// The block device of the volume mounted whole at `mountPoint`.
std::uint32_t locateMountedVolume(const SystemPaths& paths, std::string_view mountPoint, StorageVolume& volume) {
  std::string normal;
  if (!normalizeMountPoint(mountPoint, normal)) return status::ERROR_INVALID_NAME;
  std::string text;
  if (const int err = paths.readMountInfo(text); err != 0) return status::win32FromErrno(err);
  const std::vector<MountEntry> entries = parseMountInfo(text);
  const MountEntry* mount = findMount(entries, normal);
  if (mount == nullptr) return status::ERROR_FILE_NOT_FOUND;
  // A subdirectory mounted on its own is not the volume: its root holds another file.
  if (mount->root != "/") return status::ERROR_NOT_SUPPORTED;
  return locateVolume(paths, *mount, volume);
}

}  // namespace

std::uint32_t volumeDevicePath(const SystemPaths& paths, std::string_view mountPoint, std::string& path) {
  path.clear();
  StorageVolume volume;
  if (const std::uint32_t err = locateMountedVolume(paths, mountPoint, volume)) return err;
  std::string device = volume.device.string();
  if (utf8::utf16Units(device) + 1 > kMaxDevicePathUnits) return status::ERROR_FILENAME_EXCED_RANGE;
  path = std::move(device);
  return status::ERROR_SUCCESS;
}

std::uint32_t volumePartition(const SystemPaths& paths, std::string_view mountPoint, std::uint32_t& partition) {
  partition = 0;
  StorageVolume volume;
  if (const std::uint32_t err = locateMountedVolume(paths, mountPoint, volume)) return err;
  if (volume.device == volume.disk) return status::ERROR_SUCCESS;
  std::uint32_t number = 0;
  if (const std::uint32_t err = internal::readNumber(paths, volume.device / "partition", kMaxPartition, number)) {
    return err;
  }
  if (number == 0) return status::ERROR_INVALID_DATA;  // partitions count from 1
  partition = number;
  return status::ERROR_SUCCESS;
}

std::uint32_t findVolumeMount(const SystemPaths& paths, std::string_view devicePath, std::string& mountPoint) {
  mountPoint.clear();
  if (!isAbsolutePath(devicePath)) return status::ERROR_INVALID_NAME;
  fs::path device;
  if (const int err = paths.resolve(fs::path(devicePath), device); err != 0) return lookupError(err);

  std::string text;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  if (paths.readAttribute(device / "dev", text) != 0 || !parseDeviceNumber(text, major, minor)) {
    return status::ERROR_FILE_NOT_FOUND;
  }
  // The directory must be the one sysfs files under that number, not a copy of
  // its `dev` attribute somewhere else in the tree.
  fs::path registered;
  if (paths.resolve(paths.blockDeviceLink(major, minor), registered) != 0 || registered != device) {
    return status::ERROR_FILE_NOT_FOUND;
  }

  if (const int err = paths.readMountInfo(text); err != 0) return status::win32FromErrno(err);
  const std::vector<MountEntry> entries = parseMountInfo(text);
  for (const MountEntry& entry : entries) {
    if (entry.major != major || entry.minor != minor || entry.root != "/") continue;
    if (findMount(entries, entry.mountPoint) != &entry) continue;  // hidden by a later mount
    mountPoint = entry.mountPoint;
    return status::ERROR_SUCCESS;
  }
  return status::ERROR_NOT_READY;
}

std::vector<std::uint8_t> encodeDevicePath(std::string_view path) {
  std::vector<std::uint8_t> out;
  out.reserve(2 * (path.size() + 1));
  for (std::size_t i = 0; i < path.size();) {
    char32_t c = 0;
    if (!nextCodePoint(path, i, c) || c == 0) return {};
    if (c >= 0x10000) {
      appendUnit(out, 0xD800 + ((c - 0x10000) >> 10));
      appendUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      appendUnit(out, c);
    }
    if (out.size() / 2 + 1 > kMaxDevicePathUnits) return {};
  }
  appendUnit(out, 0);
  return out;
}

bool decodeDevicePath(std::span<const std::uint8_t> input, std::string& path) {
  path.clear();
  const std::size_t size = input.size();
  if (size < 4 || size % 2 != 0 || size / 2 > kMaxDevicePathUnits) return false;
  if (input[size - 2] != 0 || input[size - 1] != 0) return false;
  for (std::size_t i = 0; i + 2 < size; i += 2) {
    if (input[i] == 0 && input[i + 1] == 0) return false;  // a NUL before the end
  }
  if (!utf8::fromUtf16Le(input.data(), size, path) || path.empty()) {
    path.clear();
    return false;
  }
  return true;
}

}  // namespace quillon::platform

#include "reader/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <string_view>

#include "base/FileHandle.h"
#include "container/AtomicFile.h"
#include "platform/DescriptorString.h"
#include "platform/VolumePath.h"

namespace quillon::reader {

namespace {

constexpr std::string_view kHeaderPathOnly = "quillon-reader-state 1";
constexpr std::string_view kHeaderWithIdentity = "quillon-reader-state 2";
constexpr std::string_view kHeaderWithEjected = "quillon-reader-state 3";
constexpr std::string_view kWholeDisk = "whole";

int readSmallFile(const std::string& path, std::string& text) {
  text.clear();
  FileHandle file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return errno == ELOOP ? EINVAL : errno;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode) || info.st_size < 0 || static_cast<std::size_t>(info.st_size) > StateFile::kMaxBytes) {
    return EINVAL;
  }
  // One byte more than allowed shows a file that grew since fstat.
  text.resize(StateFile::kMaxBytes + 1);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done > StateFile::kMaxBytes) return EINVAL;
  text.resize(done);
  return 0;
}

// Takes the next line from `rest`; false when no line break ends it.
bool takeLine(std::string_view& rest, std::string_view& line) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

// Takes the next line, which must be "<key>=<value>".
bool takeValue(std::string_view& rest, std::string_view key, std::string_view& value) {
  std::string_view line;
  if (!takeLine(rest, line) || !line.starts_with(key) || line.size() <= key.size() || line[key.size()] != '=') {
    return false;
  }
  value = line.substr(key.size() + 1);
  return true;
}

bool validPath(std::string_view path) {
  return !path.empty() && path.find('\n') == std::string_view::npos && path.find('\0') == std::string_view::npos;
}

// What a storage descriptor string can hold: printable ASCII, bounded.
bool validIdentityText(std::string_view text) {
  return text.size() <= platform::kMaxIdentityChars &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

bool parsePartition(std::string_view text, std::uint32_t& partition) {
  if (text == kWholeDisk) {
    partition = 0;
    return true;
  }
  if (text.empty() || text.front() == '0') return false;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > platform::kMaxPartition) return false;
  }
  partition = value;
  return true;
}

bool parseIdentity(std::string_view& rest, VolumeIdentity& identity) {
  std::string_view vendor, product, revision, serial, partition;
  if (!takeValue(rest, "vendor", vendor) || !takeValue(rest, "product", product) ||
      !takeValue(rest, "revision", revision) || !takeValue(rest, "serial", serial) ||
      !takeValue(rest, "partition", partition)) {
    return false;
  }
  for (const std::string_view text : {vendor, product, revision, serial}) {
    if (!validIdentityText(text)) return false;
  }
  if (!parsePartition(partition, identity.partition)) return false;
  identity.vendor = vendor;
  identity.product = product;
  identity.revision = revision;
  identity.serial = serial;
  return true;
}

// The next line's key, when it has the "key=" shape; empty otherwise.
std::string_view nextKey(std::string_view rest) {
  const std::string_view line = rest.substr(0, rest.find('\n'));
  const std::size_t equals = line.find('=');
  return equals == std::string_view::npos ? std::string_view() : line.substr(0, equals);
}

// "<mount ID> <device path>"
bool parseEjected(std::string_view text, EjectedMount& mount) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos || blank == 0 || blank > 10) return false;
  std::uint64_t id = 0;
  for (const char c : text.substr(0, blank)) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (id > UINT32_MAX || !validPath(text.substr(blank + 1))) return false;
  mount.mountId = static_cast<std::uint32_t>(id);
  mount.devicePath = text.substr(blank + 1);
  return true;
}

// The body of the third format, after its header.
bool parseWithEjected(std::string_view rest, RememberedVolume& read) {
  std::string_view value;
  if (nextKey(rest) == "volume") {
    if (!takeValue(rest, "volume", value) || !validPath(value)) return false;
    read.devicePath = value;
    if (nextKey(rest) == "vendor") {
      VolumeIdentity identity;
      if (!parseIdentity(rest, identity)) return false;
      read.identity = std::move(identity);
    }
  }
  while (!rest.empty()) {
    EjectedMount mount;
    if (read.ejected.size() == StateFile::kMaxEjected || !takeValue(rest, "ejected", value) ||
        !parseEjected(value, mount)) {
      return false;
    }
    read.ejected.push_back(std::move(mount));
  }
  return !read.ejected.empty();
}

void appendIdentity(std::string& text, const VolumeIdentity& id) {
  text.append("\nvendor=").append(id.vendor).append("\nproduct=").append(id.product);
  text.append("\nrevision=").append(id.revision).append("\nserial=").append(id.serial);
  text.append("\npartition=").append(id.partition == 0 ? std::string(kWholeDisk) : std::to_string(id.partition));
}

}  // namespace

int StateFile::load(RememberedVolume& volume) const {
  volume = {};
  std::string text;
  if (const int err = readSmallFile(path_, text); err != 0) return err == ENOENT ? 0 : err;
  std::string_view rest(text);
  std::string_view header;
  std::string_view path;
  if (!takeLine(rest, header)) return EINVAL;
  RememberedVolume read;
  if (header == kHeaderWithEjected) {
    if (!parseWithEjected(rest, read)) return EINVAL;
    volume = std::move(read);
    return 0;
  }
  if (header != kHeaderPathOnly && header != kHeaderWithIdentity) return EINVAL;
  if (!takeValue(rest, "volume", path) || !validPath(path)) return EINVAL;
  read.devicePath = path;
  if (header == kHeaderWithIdentity) {
    VolumeIdentity identity;
    if (!parseIdentity(rest, identity)) return EINVAL;
    read.identity = std::move(identity);
  }
  if (!rest.empty()) return EINVAL;
  volume = std::move(read);
  return 0;
}

int StateFile::remember(const RememberedVolume& volume) const {
  if (volume.ejected.size() > kMaxEjected) return EINVAL;
  if (!volume.devicePath.empty() && !validPath(volume.devicePath)) return EINVAL;
  if (volume.devicePath.empty() && (volume.ejected.empty() || volume.identity)) return EINVAL;
  if (volume.identity) {
    const VolumeIdentity& id = *volume.identity;
    for (const std::string* value : {&id.vendor, &id.product, &id.revision, &id.serial}) {
      if (!validIdentityText(*value)) return EINVAL;
    }
    if (id.partition > platform::kMaxPartition) return EINVAL;
  }
  std::string text;
  if (!volume.ejected.empty()) {
    text.append(kHeaderWithEjected);
    if (!volume.devicePath.empty()) text.append("\nvolume=").append(volume.devicePath);
    if (volume.identity) appendIdentity(text, *volume.identity);
    for (const EjectedMount& mount : volume.ejected) {
      if (!validPath(mount.devicePath)) return EINVAL;
      text.append("\nejected=").append(std::to_string(mount.mountId)).append(" ").append(mount.devicePath);
    }
  } else if (!volume.identity) {
    text.append(kHeaderPathOnly).append("\nvolume=").append(volume.devicePath);
  } else {
    // The older formats while no mount is ejected: a previous reader still reads them.
    text.append(kHeaderWithIdentity).append("\nvolume=").append(volume.devicePath);
    appendIdentity(text, *volume.identity);
  }
  text.push_back('\n');
  if (text.size() > kMaxBytes) return EINVAL;

  const std::string directory = container::ParentDirectory(path_);
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const container::ReplaceResult result = container::ReplaceFileAtomically(path_, std::span(bytes, text.size()));
  // A failed directory flush leaves the new state in place, only less durable.
  if (!result.ok() && result.step != container::ReplaceStep::kFlushDirectory)
    return result.error != 0 ? result.error : EIO;
  return 0;
}

int StateFile::forget() const {
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

}  // namespace quillon::reader

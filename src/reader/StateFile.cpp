#include "reader/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <span>

#include "container/AtomicFile.h"
#include "container/FileHandle.h"

namespace quillon::reader {

namespace {

constexpr std::string_view kHeader = "quillon-reader-state 1\n";
constexpr std::string_view kVolumeKey = "volume=";

int readSmallFile(const std::string& path, std::string& text) {
  text.clear();
  container::FileHandle file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

}  // namespace

int StateFile::load(std::string& devicePath) const {
  devicePath.clear();
  std::string text;
  if (const int err = readSmallFile(path_, text); err != 0) return err == ENOENT ? 0 : err;
  std::string_view rest(text);
  if (!rest.starts_with(kHeader)) return EINVAL;
  rest.remove_prefix(kHeader.size());
  if (!rest.starts_with(kVolumeKey) || !rest.ends_with('\n')) return EINVAL;
  rest.remove_prefix(kVolumeKey.size());
  rest.remove_suffix(1);
  if (rest.empty() || rest.find('\n') != std::string_view::npos || rest.find('\0') != std::string_view::npos) {
    return EINVAL;
  }
  devicePath = rest;
  return 0;
}

int StateFile::remember(std::string_view devicePath) const {
  if (devicePath.empty() || devicePath.find('\n') != std::string_view::npos ||
      devicePath.find('\0') != std::string_view::npos) {
    return EINVAL;
  }
  std::string text;
  text.reserve(kHeader.size() + kVolumeKey.size() + devicePath.size() + 1);
  text.append(kHeader).append(kVolumeKey).append(devicePath).push_back('\n');
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

#include "platform/internal/TextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/FileHandle.h"

namespace quillon::platform::internal {

int readTextFile(const std::filesystem::path& file, std::size_t maxBytes, std::string& text) {
  text.clear();
  // O_NONBLOCK keeps open() itself from waiting on a FIFO; fstat then refuses it.
  FileHandle fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return errno;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;

  // /proc and sysfs report sizes of 0 or 4096 whatever they hold: read to the end,
  // one byte past the limit so that an overlong file is told from one that fits.
  char chunk[4096];
  while (text.size() <= maxBytes) {
    const std::size_t want = std::min(sizeof chunk, maxBytes + 1 - text.size());
    const ssize_t got = ::read(fd.get(), chunk, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      text.clear();
      return err;
    }
    if (got == 0) return 0;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  text.clear();
  return EFBIG;
}

}  // namespace quillon::platform::internal

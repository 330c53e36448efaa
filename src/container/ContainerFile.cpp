#include "container/ContainerFile.h"

#include <fcntl.h>

#include <cerrno>

namespace quillon::container {

std::string containerPathOn(const std::string& drive) {
  std::string path = drive;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!path.empty() && path.back() != '/') path += '/';
  return path + kContainerName;
}

OpenedContainer openContainer(const std::string& path) {
  OpenedContainer opened;
  opened.file = FileHandle(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!opened.file.valid()) {
    opened.error = errno;
    return opened;
  }
  if (::fstat(opened.file.get(), &opened.info) != 0) {
    opened.error = errno;
    opened.file.close();
  }
  return opened;
}

}  // namespace quillon::container

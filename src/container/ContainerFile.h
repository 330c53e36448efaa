// Where a drive's card lives and how it is opened for reading: one name, one
// path rule and one open policy for every reader of the container.
#pragma once

#include <sys/stat.h>

#include <string>

#include "base/FileHandle.h"

namespace quillon::container {

// The container's file name at the drive's root.
inline constexpr const char* kContainerName = "Quillon2.bin";

// "<drive>/Quillon2.bin", trailing slashes of the drive folded into one.
std::string containerPathOn(const std::string& drive);

// A container opened for reading.
struct OpenedContainer {
  FileHandle file;      // invalid when the open or its fstat failed
  int error = 0;        // that errno (ELOOP: a symbolic link); 0 when opened
  struct stat info {};  // the open file's fstat

  // Only a regular file is a card; the caller refuses anything else in its words.
  bool regular() const noexcept { return file.valid() && S_ISREG(info.st_mode); }
};

// Never through a symbolic link, never blocking on a FIFO or a device, never
// becoming a controlling terminal, closed across exec.
OpenedContainer openContainer(const std::string& path);

}  // namespace quillon::container

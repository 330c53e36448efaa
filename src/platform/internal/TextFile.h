// Bounded reads of the small text files the kernel publishes (mountinfo, sysfs
// attributes). Internal to the platform layer.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace quillon::platform::internal {

// Reads a regular file into `text`, at most `maxBytes` bytes. Returns 0 or an
// errno value: EFBIG when the file holds more than `maxBytes`, EISDIR or EINVAL
// for a directory or a special file (never opened for reading beyond fstat, so a
// FIFO cannot block us). `text` is empty after a failure.
int readTextFile(const std::filesystem::path& file, std::size_t maxBytes, std::string& text);

}  // namespace quillon::platform::internal

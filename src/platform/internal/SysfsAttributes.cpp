#include "platform/internal/SysfsAttributes.h"

#include <cerrno>
#include <string_view>

#include "base/Status.h"

namespace quillon::platform::internal {

namespace {

bool parseDecimal(std::string_view text, std::uint32_t max, std::uint32_t& value) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > max) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::uint32_t readNumber(const SystemPaths& paths, const std::filesystem::path& file, std::uint32_t max,
                         std::uint32_t& value) {
  std::string text;
  if (const int err = paths.readAttribute(file, text); err != 0) return status::win32FromErrno(err);
  return parseDecimal(text, max, value) ? status::ERROR_SUCCESS : status::ERROR_INVALID_DATA;
}

std::uint32_t readOptionalNumber(const SystemPaths& paths, const std::filesystem::path& file, std::uint32_t max,
                                 std::uint32_t fallback, std::uint32_t& value) {
  std::string text;
  const int err = paths.readAttribute(file, text);
  if (err == ENOENT) {
    value = fallback;
    return status::ERROR_SUCCESS;
  }
  if (err != 0) return status::win32FromErrno(err);
  return parseDecimal(text, max, value) ? status::ERROR_SUCCESS : status::ERROR_INVALID_DATA;
}

std::uint32_t readOptionalText(const SystemPaths& paths, const std::filesystem::path& file, std::string& text) {
  const int err = paths.readAttribute(file, text);
  if (err == ENOENT) return status::ERROR_SUCCESS;
  return status::win32FromErrno(err);
}

}  // namespace quillon::platform::internal

#include "platform/MountInfo.h"

#include <filesystem>
#include <limits>

namespace quillon::platform {

namespace {

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// Decimal digits only, no sign, no overflow.
bool parseNumber(std::string_view text, std::uint32_t& value) {
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > std::numeric_limits<std::uint32_t>::max()) return false;
  }
  value = static_cast<std::uint32_t>(v);
  return true;
}

bool parseDevice(std::string_view text, std::uint32_t& major, std::uint32_t& minor) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && parseNumber(text.substr(0, colon), major) &&
         parseNumber(text.substr(colon + 1), minor);
}

// The kernel writes ten fields and a few optional ones; a line of thousands of
// blanks is not worth a vector of thousands of views.
constexpr std::size_t kMaxFields = 32;

// Splits a line on single blanks, the only separator the kernel writes; stops
// one field past kMaxFields.
std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size() && fields.size() <= kMaxFields) {
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// id parent major:minor root mount-point options [optional...] - fstype source super-options
bool parseLine(std::string_view line, MountEntry& entry) {
  const std::vector<std::string_view> f = splitFields(line);
  if (f.size() < 10 || f.size() > kMaxFields) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    if (f[i].empty()) return false;
  }
  std::uint32_t id = 0;
  std::uint32_t parent = 0;
  if (!parseNumber(f[0], id) || !parseNumber(f[1], parent)) return false;
  if (!parseDevice(f[2], entry.major, entry.minor)) return false;
  // Optional fields ("shared:1", "master:2", ...) run up to the separator; the
  // file system type, source and super options follow it. The source may be empty.
  std::size_t sep = 6;
  while (sep < f.size() && f[sep] != "-") ++sep;
  if (sep + 3 >= f.size() || f[sep + 1].empty()) return false;
  return unescapeMountField(f[3], entry.root) && unescapeMountField(f[4], entry.mountPoint) && !entry.root.empty() &&
         entry.root.front() == '/' && entry.mountPoint.front() == '/' && unescapeMountField(f[sep + 1], entry.fsType) &&
         unescapeMountField(f[sep + 2], entry.source);
}

}  // namespace

bool unescapeMountField(std::string_view field, std::string& out) {
  out.clear();
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const char c = field[i];
    if (c == '\0') return false;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (field.size() - i < 4 || !isOctal(field[i + 1]) || !isOctal(field[i + 2]) || !isOctal(field[i + 3]) ||
        field[i + 1] > '3') {
      return false;
    }
    const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
    if (value == 0) return false;
    out.push_back(static_cast<char>(value));
    i += 3;
  }
  return true;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    MountEntry entry;
    if (parseLine(text.substr(start, end - start), entry)) entries.push_back(std::move(entry));
    start = end + 1;
  }
  return entries;
}

bool normalizeMountPoint(std::string_view path, std::string& out) {
  out.clear();
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return false;
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  out = std::move(normal);
  return true;
}

const MountEntry* findMount(const std::vector<MountEntry>& entries, std::string_view mountPoint) {
  const MountEntry* found = nullptr;
  for (const auto& entry : entries) {
    if (entry.mountPoint == mountPoint) found = &entry;
  }
  return found;
}

}  // namespace quillon::platform

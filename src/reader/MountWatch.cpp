#include "reader/MountWatch.h"

#include <string_view>

namespace quillon::reader {

namespace {

// The mount ID before the line's first blank; parseMountInfo has checked the
// line's shape, this only reads the number it skips.
bool parseMountId(std::string_view line, std::uint32_t& id) {
  const std::string_view field = line.substr(0, line.find(' '));
  if (field.empty() || field.size() > 10) return false;
  std::uint64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  id = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

bool readVolumeMounts(const platform::SystemPaths& paths, std::vector<VolumeMount>& mounts) {
  mounts.clear();
  std::string text;
  if (paths.readMountInfo(text) != 0) return false;
  // Line by line, so that each entry keeps the ID of its own line.
  std::vector<platform::MountEntry> entries;
  std::vector<std::uint32_t> ids;
  const std::string_view all(text);
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view line = all.substr(start, end - start);
    start = end + 1;
    std::vector<platform::MountEntry> parsed = platform::parseMountInfo(line);
    std::uint32_t id = 0;
    if (parsed.size() != 1 || !parseMountId(line, id)) continue;
    entries.push_back(std::move(parsed.front()));
    ids.push_back(id);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const platform::MountEntry& entry = entries[i];
    if (entry.major == 0 || entry.root != "/") continue;
    if (platform::findMount(entries, entry.mountPoint) != &entry) continue;  // hidden by a later mount
    mounts.push_back({ids[i], entry});
  }
  return true;
}

MountWatch::Look MountWatch::look(const platform::SystemPaths& paths) {
  Look look;
  if (!readVolumeMounts(paths, look.all)) return look;  // compared with the last good look next time
  look.ok = true;
  std::set<Key> now;
  for (const VolumeMount& mount : look.all) {
    Key key{mount.id, mount.entry.major, mount.entry.minor, mount.entry.mountPoint};
    if (!looked_ || known_.count(key) == 0) look.fresh.push_back(mount);
    now.insert(std::move(key));
  }
  look.changed = !looked_ || now != known_;
  known_ = std::move(now);
  looked_ = true;
  return look;
}

}  // namespace quillon::reader

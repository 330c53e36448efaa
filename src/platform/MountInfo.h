// The mount table as /proc/<pid>/mountinfo gives it: parsing of that hostile text
// and lookup of a mount point. Entries are plain values owned by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::platform {

// One line of mountinfo, with the kernel's \ooo escapes of its fields decoded.
struct MountEntry {
  std::uint32_t major = 0;  // 0: no block device behind the mount (proc, tmpfs, NFS, ...)
  std::uint32_t minor = 0;
  std::string root;        // the directory of the filesystem mounted here; "/" for a whole volume
  std::string mountPoint;  // absolute, as the kernel shows it
  std::string fsType;
  std::string source;
};

// Every well-formed line of `text`, in order; lines without the kernel's shape
// (too few fields, no "-" separator, a bad major:minor, a bad escape) are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// Decodes one field: "\ooo" (three octal digits, at most \377) is that byte. A
// backslash not starting such an escape, or one that decodes to NUL, fails.
bool unescapeMountField(std::string_view field, std::string& out);

// `path` in the form the kernel shows mount points: absolute, "." and ".."
// resolved by name, no repeated or trailing "/". Relative, empty or NUL-holding
// paths fail. Links are not followed: the path names the mount itself.
bool normalizeMountPoint(std::string_view path, std::string& out);

// The entry mounted exactly at `mountPoint` (already normalised), or null. When
// several are, the last one wins: a later mount hides the earlier ones.
const MountEntry* findMount(const std::vector<MountEntry>& entries, std::string_view mountPoint);

}  // namespace quillon::platform

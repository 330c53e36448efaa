// The virtual reader's configuration, read from the DEVICENAME string of its
// reader.conf.d entry (pcscd hands that string to IFDHCreateChannelByName).
//
// pcscd takes a DEVICENAME without a ':' for a file that must exist (and drops
// its whole configuration when it does not), and accepts only letters, digits
// and "/._-:=" in it. Hence the syntax: the word "quillon", then items, all
// separated by ':'; each item is KEY=PATH with an absolute PATH (no ':'); each
// key at most once; empty items are ignored, anything else is an error:
//   state=PATH  where the swallowed volume is remembered (default
//               /var/lib/quillon/reader.state)
//   proc=PATH   root of the proc view the mount table is read from (default /proc)
//   sys=PATH    root of the sysfs view devices are read from (default /sys)
// Example: DEVICENAME quillon:state=/var/lib/quillon/reader.state
// The proc and sys roots exist for tests, which describe a USB stick with a
// fixture tree. An empty string (IFDHCreateChannel) gives the defaults.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::reader {

struct ReaderConfig {
  static constexpr std::size_t kMaxLength = 4096;

  std::string statePath = "/var/lib/quillon/reader.state";
  std::string procRoot = "/proc";
  std::string sysRoot = "/sys";
};

// Parses `text` over the defaults. On false `config` is left at the defaults and
// `error` says what is wrong (for the log).
bool parseReaderConfig(std::string_view text, ReaderConfig& config, std::string& error);

}  // namespace quillon::reader

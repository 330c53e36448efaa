// Command-line arguments of a quillon-card command: positional words, options
// with a value ("--name VALUE" or "--name=VALUE") and flags, checked against the
// options the command knows.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace quillon::cli {

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;

  bool has(const std::string& flag) const { return flags.count(flag) != 0; }
  const std::string* value(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

// Parses argv[first..]; false with a message in `error` for an unknown option or
// a missing value.
bool parseArguments(int argc, char** argv, int first, const std::set<std::string>& valueOptions,
                    const std::set<std::string>& flagOptions, Arguments& out, std::string& error);

}  // namespace quillon::cli

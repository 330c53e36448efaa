// Command-line arguments of a quillon-card command: positional words, options
// with a value ("--name VALUE" or "--name=VALUE") and flags. Each command has one
// table of its options, which drives both the parsing and the option lists of
// its usage text; --help is every command's flag.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::cli {

struct Option {
  const char* name;                // without the leading "--"
  const char* argument = nullptr;  // what the value is called in the help; null for a flag
  const char* help = nullptr;      // lines joined by '\n'; null when the usage text tells of it in prose, or
                                   // (in a list) for the option that shares the line of the one before
  unsigned list = 0;               // which option list of the usage text shows it (0: none)
  unsigned modes = ~0u;            // the command's modes that take it
};
using Options = std::span<const Option>;

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
bool parseArguments(int argc, char** argv, int first, Options options, Arguments& out, std::string& error);

// What a command's parsing needs: the start of its messages, its options, how
// many positional words it takes and its usage text.
struct CommandSyntax {
  const char* prefix;
  Options options;
  std::size_t positional;
  std::string_view usage;
};

// Parses a command's arguments (argv[0] is its name). -1 to go on, or the exit
// status once a usage error with the usage text, or the help, has been printed.
int parseCommand(int argc, char** argv, const CommandSyntax& syntax, Arguments& args);

// The lines of option list `list`: "  --NAME ARGUMENT" (or two options sharing a
// line, "--NAME-file FILE, --NAME-fd FD") and the help from column 25, or three
// blanks after the longest name when one does not fit.
std::string optionList(Options options, unsigned list);

// The first option given that `mode` does not take; null when there is none.
const Option* outsideMode(const Arguments& args, Options options, unsigned mode);

// "give --X-file or --X-fd, not both" after `prefix` for the first such pair of
// the table given twice; false after the message.
bool oneSourceEach(const Arguments& args, Options options, const char* prefix);

}  // namespace quillon::cli

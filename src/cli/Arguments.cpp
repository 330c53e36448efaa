#include "cli/Arguments.h"

namespace quillon::cli {

bool parseArguments(int argc, char** argv, int first, const std::set<std::string>& valueOptions,
                    const std::set<std::string>& flagOptions, Arguments& out, std::string& error) {
  bool onlyPositional = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (onlyPositional || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      out.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPositional = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::string value;
    const std::size_t equals = name.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (flagOptions.count(name) != 0 && !inlineValue) {
      out.flags.insert(name);
    } else if (valueOptions.count(name) != 0) {
      if (!inlineValue) {
        if (i + 1 >= argc) {
          error = "option --" + name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      out.values[name] = value;
    } else {
      error = "unknown option --" + name;
      return false;
    }
  }
  return true;
}

}  // namespace quillon::cli

#include "cli/Arguments.h"

#include <algorithm>
#include <iostream>

#include "cli/ExitCodes.h"

namespace quillon::cli {

namespace {

constexpr Option kHelp{"help"};
constexpr std::size_t kHelpColumn = 25;

const Option* find(Options options, std::string_view name) {
  if (name == kHelp.name) return &kHelp;
  const auto it = std::find_if(options.begin(), options.end(), [&](const Option& o) { return name == o.name; });
  return it == options.end() ? nullptr : &*it;
}

std::string nameOf(const Option& option) {
  return std::string("--") + option.name + (option.argument != nullptr ? std::string(" ") + option.argument : "");
}

}  // namespace

bool parseArguments(int argc, char** argv, int first, Options options, Arguments& out, std::string& error) {
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
    const Option* option = find(options, name);
    if (option != nullptr && option->argument == nullptr && !inlineValue) {
      out.flags.insert(name);
    } else if (option != nullptr && option->argument != nullptr) {
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

int parseCommand(int argc, char** argv, const CommandSyntax& syntax, Arguments& args) {
  std::string error;
  if (!parseArguments(argc, argv, 1, syntax.options, args, error) || args.positional.size() > syntax.positional) {
    std::cerr << syntax.prefix << (error.empty() ? "too many arguments" : error) << "\n" << syntax.usage;
    return kExitUsage;
  }
  if (args.has("help")) {
    std::cout << syntax.usage;
    return kExitOk;
  }
  return -1;
}

std::string optionList(Options options, unsigned list) {
  // Each line's names: an option without help of its own shares the line before.
  std::vector<std::pair<std::string, const char*>> lines;
  for (const Option& option : options) {
    if (option.list != list || list == 0) continue;
    if (option.help == nullptr && !lines.empty())
      lines.back().first += ", " + nameOf(option);
    else
      lines.emplace_back("  " + nameOf(option), option.help);
  }
  std::size_t column = kHelpColumn;
  for (const auto& line : lines)
    if (line.first.size() + 2 > kHelpColumn) column = std::max(column, line.first.size() + 3);
  std::string text;
  for (const auto& [names, help] : lines) {
    text += names + std::string(column - names.size(), ' ');
    for (const char* c = help != nullptr ? help : ""; *c != '\0'; ++c) {
      text += *c;
      if (*c == '\n') text.append(column, ' ');
    }
    text += '\n';
  }
  return text;
}

const Option* outsideMode(const Arguments& args, Options options, unsigned mode) {
  for (const Option& option : options)
    if ((option.modes & mode) == 0 && (args.value(option.name) != nullptr || args.has(option.name))) return &option;
  return nullptr;
}

bool oneSourceEach(const Arguments& args, Options options, const char* prefix) {
  for (const Option& file : options) {
    const std::string name = file.name;
    if (name.size() < 5 || name.compare(name.size() - 5, 5, "-file") != 0) continue;
    const std::string fd = name.substr(0, name.size() - 5) + "-fd";
    if (args.value(name) != nullptr && args.value(fd) != nullptr) {
      std::cerr << prefix << "give --" << name << " or --" << fd << ", not both\n";
      return false;
    }
  }
  return true;
}

}  // namespace quillon::cli

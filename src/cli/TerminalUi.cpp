#include "cli/TerminalUi.h"

#include <iostream>

#include "cli/Secrets.h"

namespace quillon::cli {

void TerminalUi::showError(const char* message) { std::cerr << prefix_ << message << "\n"; }

bool TerminalUi::askYesNo(const char* question) {
  if (yes_) return true;
  std::cerr << question;
  if (!stdinIsTerminal()) {
    std::cerr << "\n" << prefix_ << "not a terminal to answer on; run again with --yes to continue\n";
    return false;
  }
  std::cerr << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace quillon::cli

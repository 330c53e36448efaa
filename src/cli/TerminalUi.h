// The card checks' questions and errors on the terminal: errors on standard error
// after the command's prefix, warnings answered y/N on the terminal, or taken as
// Yes with --yes; without a terminal to answer on, a warning stops the command.
#pragma once

#include <string>

#include "personalise/FormatCard.h"

namespace quillon::cli {

class TerminalUi final : public FormatCardUi {
 public:
  TerminalUi(std::string prefix, bool yes) : prefix_(std::move(prefix)), yes_(yes) {}
  void showError(const char* message) override;
  bool askYesNo(const char* question) override;

 private:
  std::string prefix_;  // "quillon-card init: "
  bool yes_;
};

}  // namespace quillon::cli

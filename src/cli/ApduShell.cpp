#include "cli/ApduShell.h"

#include <string>
#include <vector>

#include "base/Hex.h"
#include "base/OpenSsl.h"
#include "jc/APDU.h"
#include "jc/Exceptions.h"

namespace quillon::cli {

namespace {

// The command text of a line: comment removed, outer blanks trimmed.
std::string_view commandText(std::string_view line) {
  const std::size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

// A runtime that nothing else shares: nothing to lock, reload or save.
class MemoryCard final : public ShellCard {
 public:
  explicit MemoryCard(IJCRuntime& runtime) : runtime_(runtime) {}
  IJCRuntime* begin(std::ostream&) override { return &runtime_; }
  bool end(std::ostream&) override { return true; }

 private:
  IJCRuntime& runtime_;
};

}  // namespace

int runApduShell(IJCRuntime& runtime, std::istream& in, std::ostream& out, std::ostream& err) {
  MemoryCard card(runtime);
  return runApduShell(card, in, out, err);
}

int runApduShell(ShellCard& card, std::istream& in, std::ostream& out, std::ostream& err) {
  std::string line;
  unsigned long number = 0;
  // Commands and answers may carry PINs and keys.
  ossl::SecureBytes command;
  std::vector<std::uint8_t> parsed;
  std::uint8_t response[APDU::kMaxOutgoing + 2];
  while (std::getline(in, line)) {
    ++number;
    const std::string_view text = commandText(line);
    if (text.empty()) continue;
    if (!hex::decode(text, parsed)) {
      err << "quillon-card: line " << number << ": not a command in hexadecimal digits\n";
      return kExitFailure;
    }
    command.assign(parsed.begin(), parsed.end());
    OPENSSL_cleanse(parsed.data(), parsed.size());
    OPENSSL_cleanse(line.data(), line.size());

    IJCRuntime* runtime = card.begin(err);
    if (runtime == nullptr) return kExitFailure;
    std::uint32_t length = sizeof response;
    std::uint32_t status = 0;
    try {
      status = runtime->transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length);
    } catch (const ISOException&) {
      card.end(err);
      err << "quillon-card: line " << number << ": a command of " << command.size()
          << " bytes is longer than the card's " << APDU::kBufferSize << "-byte command buffer\n";
      return kExitFailure;
    }
    if (!card.end(err)) {
      OPENSSL_cleanse(response, sizeof response);
      return kExitFailure;
    }
    if (status != 0 || length < 2) {
      err << "quillon-card: line " << number << ": the card did not answer (status 0x" << std::hex << status
          << std::dec << ")\n";
      return kExitFailure;
    }
    const std::string data = hex::encode({response, length - 2});
    if (!data.empty()) out << data << ' ';
    out << hex::encode({response + length - 2, 2}) << std::endl;  // flushed: the caller may be waiting
    OPENSSL_cleanse(response, sizeof response);
  }
  return kExitOk;
}

}  // namespace quillon::cli

#include "cli/ApduShell.h"

#include <string>

#include "base/Hex.h"
#include "base/OpenSsl.h"
#include "cli/Secrets.h"
#include "jc/APDU.h"
#include "jc/Exceptions.h"

namespace quillon::cli {

namespace {

// Far more than the longest command (260 bytes in hexadecimal with blanks) and a comment.
constexpr std::size_t kMaxLine = 16384;

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

int runApduShell(IJCRuntime& runtime, int in, std::ostream& out, std::ostream& err) {
  MemoryCard card(runtime);
  return runApduShell(card, in, out, err);
}

int runApduShell(ShellCard& card, int in, std::ostream& out, std::ostream& err) {
  unsigned long number = 0;
  // Commands and answers may carry PINs and keys.
  ossl::SecureBytes line;
  ossl::SecureBytes command;
  std::uint8_t response[APDU::kMaxOutgoing + 2];
  for (;;) {
    std::string error;
    const LineRead read = readSecretLine(in, line, kMaxLine, error);
    if (read == LineRead::kEnd) break;
    ++number;
    if (read == LineRead::kError) {
      err << "quillon-card: line " << number << ": " << error << "\n";
      return kExitFailure;
    }
    const std::string_view text = commandText({ossl::chars(line), line.size()});
    if (text.empty()) continue;
    if (!hex::decode(text, command)) {
      err << "quillon-card: line " << number << ": not a command in hexadecimal digits\n";
      return kExitFailure;
    }

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
      err << "quillon-card: line " << number << ": the card did not answer (status 0x" << std::hex << status << std::dec
          << ")\n";
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

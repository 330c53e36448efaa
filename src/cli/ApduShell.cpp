#include "cli/ApduShell.h"

#include <functional>
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

namespace {

// Sends one command: true with the answer (data and status word) in `answer`, or
// false after a message on `err`, which ends the shell.
using Send = std::function<bool(const ossl::SecureBytes& command, unsigned long number, ossl::SecureBytes& answer)>;

int runLines(int in, std::ostream& out, std::ostream& err, const Send& send) {
  unsigned long number = 0;
  // Commands and answers may carry PINs and keys.
  ossl::SecureBytes line;
  ossl::SecureBytes command;
  ossl::SecureBytes answer;
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
    if (!send(command, number, answer)) return kExitFailure;
    const std::string data = hex::encode({answer.data(), answer.size() - 2});
    if (!data.empty()) out << data << ' ';
    out << hex::encode({answer.data() + answer.size() - 2, 2}) << std::endl;  // flushed: the caller may be waiting
  }
  return kExitOk;
}

void noAnswer(std::ostream& err, unsigned long number, std::uint32_t status) {
  err << "quillon-card: line " << number << ": the card did not answer (status 0x" << std::hex << status << std::dec
      << ")\n";
}

}  // namespace

int runApduShell(ShellCard& card, int in, std::ostream& out, std::ostream& err) {
  std::uint8_t response[APDU::kMaxOutgoing + 2];
  const Send send = [&](const ossl::SecureBytes& command, unsigned long number, ossl::SecureBytes& answer) {
    IJCRuntime* runtime = card.begin(err);
    if (runtime == nullptr) return false;
    std::uint32_t length = sizeof response;
    std::uint32_t status = 0;
    try {
      status = runtime->transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length);
    } catch (const ISOException&) {
      card.end(err);
      err << "quillon-card: line " << number << ": a command of " << command.size()
          << " bytes is longer than the card's " << APDU::kBufferSize << "-byte command buffer\n";
      return false;
    }
    const bool kept = card.end(err);
    if (kept && (status != 0 || length < 2)) noAnswer(err, number, status);
    if (kept && status == 0 && length >= 2) answer.assign(response, response + length);
    OPENSSL_cleanse(response, sizeof response);
    return kept && status == 0 && length >= 2;
  };
  return runLines(in, out, err, send);
}

int runApduShell(cardops::CardChannel& card, int in, std::ostream& out, std::ostream& err) {
  cardops::Answer reply;
  const Send send = [&](const ossl::SecureBytes& command, unsigned long number, ossl::SecureBytes& answer) {
    const std::uint32_t status = card.transmit(command, reply);
    if (status != 0) {
      noAnswer(err, number, status);
      return false;
    }
    answer = reply.data;
    answer.push_back(static_cast<std::uint8_t>(reply.sw >> 8));
    answer.push_back(static_cast<std::uint8_t>(reply.sw));
    return true;
  };
  return runLines(in, out, err, send);
}

}  // namespace quillon::cli

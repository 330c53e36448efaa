#include "cardops/CardExchange.h"

#include <cstdio>

#include "base/Trace.h"
#include "personalise/FormatCard.h"

namespace quillon::cardops {

namespace {
constexpr const char* kFn = "exchange";
constexpr std::uint8_t kGidsAid[] = {0xA0, 0x00, 0x00, 0x03, 0x97, 0x42, 0x54, 0x46, 0x59};

std::string swText(std::uint16_t sw) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", sw);
  return text;
}
}  // namespace

ossl::SecureBytes buildCommand(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data,
                               bool expectData) {
  ossl::SecureBytes command{0x00, ins, p1, p2};
  command.reserve(6 + data.size());
  if (!data.empty()) {
    command.push_back(static_cast<std::uint8_t>(data.size()));
    command.insert(command.end(), data.begin(), data.end());
  }
  if (expectData) command.push_back(0x00);
  return command;
}

std::uint32_t exchange(CardChannel& card, std::span<const std::uint8_t> command, Answer& answer) {
  // The header only: the data may be a PIN or a key.
  if (command.size() >= 4)
    QTRACE(trace::kVerbose, kFn, "exchange: %02X %02X %02X %02X (%zu bytes)", command[0], command[1], command[2],
           command[3], command.size());
  answer.data.clear();
  answer.sw = 0;
  Answer part;
  std::uint32_t error = card.transmit(command, part);
  while (error == 0) {
    answer.data.insert(answer.data.end(), part.data.begin(), part.data.end());
    answer.sw = part.sw;
    if ((part.sw & 0xFF00) != 0x6100) break;
    if (answer.data.size() > kMaxAnswer) {
      QTRACE(trace::kError, kFn, "exchange: answer longer than %zu bytes", kMaxAnswer);
      answer.data.clear();
      answer.sw = 0x6F00;
      return 0;
    }
    const std::uint8_t getResponse[] = {0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(part.sw & 0xFF)};
    error = card.transmit(getResponse, part);
  }
  if (error != 0) {
    QTRACE(trace::kError, kFn, "exchange: transmit failed 0x%08X", error);
    answer.data.clear();
    return error;
  }
  QTRACE(trace::kVerbose, kFn, "exchange: SW=%04X, %zu bytes", answer.sw, answer.data.size());
  return 0;
}

Result channelFailure(const char* step, std::uint32_t error) {
  return Result{Outcome::kFailed, std::string("The card did not answer when ") + step + ": " + statusMessage(error)};
}

Result statusFailure(const char* step, std::uint16_t sw) {
  if (sw == 0x6986)
    return Result{Outcome::kFailed,
                  "The card is still in its initialisation phase: personalise it first (status 6986)."};
  return Result{Outcome::kFailed, std::string("The card failed when ") + step + " (status " + swText(sw) + ")."};
}

Result selectGidsApplication(CardChannel& card) {
  const char* step = "selecting the GIDS application";
  Answer answer;
  if (const std::uint32_t error = exchange(card, buildCommand(0xA4, 0x04, 0x00, kGidsAid, true), answer))
    return channelFailure(step, error);
  if (answer.sw == 0x6A82) return Result{Outcome::kFailed, "The card holds no GIDS application."};
  if (answer.sw != kSwOk) return statusFailure(step, answer.sw);
  return {};
}

Result selectPersonalisedCard(CardChannel& card) {
  if (Result r = selectGidsApplication(card); r.outcome != Outcome::kDone) return r;
  Answer answer;
  const std::uint8_t pinStatus[] = {0x00, 0x20, 0x00, 0x80};
  if (const std::uint32_t error = exchange(card, pinStatus, answer))
    return channelFailure("reading the PIN status", error);
  if (answer.sw == kSwOk) {
    QTRACE(trace::kWarning, "selectPersonalisedCard",
           "selectPersonalisedCard: the card is in its initialisation phase");
    return Result{Outcome::kFailed, "The card is still in its initialisation phase: personalise it first."};
  }
  return {};
}

}  // namespace quillon::cardops

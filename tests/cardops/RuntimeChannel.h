// A CardChannel over an in-memory runtime, as the reader would carry it, that can
// stand in for the card on chosen commands: a hostile card is the real one with
// one answer replaced.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "cardops/CardChannel.h"
#include "jc/IJCRuntime.h"
#include "support/TestData.h"

namespace quillon::test {

class RuntimeChannel final : public cardops::CardChannel {
 public:
  explicit RuntimeChannel(IJCRuntime& runtime) : runtime_(runtime) {}

  // Commands that start with `prefix` get `answer` (data, then the status word)
  // instead of the card's; the latest matching rule wins.
  void replace(Bytes prefix, Bytes answer) { rules_.emplace_back(std::move(prefix), std::move(answer)); }
  // Every later command fails with this channel error.
  void failWith(std::uint32_t error) { error_ = error; }

  std::uint32_t transmit(std::span<const std::uint8_t> command, cardops::Answer& answer) override {
    ++sent;
    if (error_ != 0) return error_;
    Bytes response;
    for (auto rule = rules_.rbegin(); rule != rules_.rend() && response.empty(); ++rule)
      if (command.size() >= rule->first.size() && std::equal(rule->first.begin(), rule->first.end(), command.begin()))
        response = rule->second;
    if (response.empty()) {
      response.resize(600);
      std::uint32_t length = static_cast<std::uint32_t>(response.size());
      if (const std::uint32_t status =
              runtime_.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response.data(), length))
        return status;
      response.resize(length);
    }
    if (response.size() < 2) return 0x80100065;  // SCARD_W_UNRESPONSIVE_CARD
    answer.data.assign(response.begin(), response.end() - 2);
    answer.sw = static_cast<std::uint16_t>(response[response.size() - 2] << 8 | response.back());
    return 0;
  }

  int sent = 0;

 private:
  IJCRuntime& runtime_;
  std::vector<std::pair<Bytes, Bytes>> rules_;
  std::uint32_t error_ = 0;
};

}  // namespace quillon::test

// Reports an administrator needs from the reader driver (a card that cannot be
// served, a refused request, a state file problem): each goes to the trace and
// to syslog (facility daemon), as one line. Never given a secret or APDU data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::reader {

// The syslog priority of a line of trace level `level` (trace::kError and so on).
int syslogPriority(std::uint8_t level) noexcept;

// One line at trace level `level`, to syslog at the matching priority.
void report(std::uint8_t level, const char* function, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// `text` fit for a log line: printable ASCII kept, anything else as '?', at most
// 240 characters. For texts that come from a client.
std::string printable(std::string_view text);

}  // namespace quillon::reader

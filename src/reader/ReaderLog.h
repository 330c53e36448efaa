// Reports an administrator needs from the reader driver (a card that cannot be
// served, a refused request, a state file problem): each goes to the trace and
// to syslog (facility daemon), as one line. Never given a secret or APDU data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::reader {

// `priority` is a syslog priority (LOG_ERR, LOG_WARNING, LOG_INFO), `level` the
// trace level of the same line.
void report(int priority, std::uint8_t level, const char* function, const char* format, ...) noexcept
    __attribute__((format(printf, 4, 5)));

// `text` fit for a log line: printable ASCII kept, anything else as '?', at most
// 240 characters. For texts that come from a client.
std::string printable(std::string_view text);

}  // namespace quillon::reader

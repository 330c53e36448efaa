#include "reader/ReaderLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "base/Trace.h"

namespace quillon::reader {

int syslogPriority(std::uint8_t level) noexcept {
  switch (level) {
    case trace::kCritical: return LOG_CRIT;
    case trace::kError: return LOG_ERR;
    case trace::kWarning: return LOG_WARNING;
    case trace::kInformation: return LOG_INFO;
    default: return LOG_DEBUG;
  }
}

void report(std::uint8_t level, const char* function, const char* format, ...) noexcept {
  char text[768];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  QTRACE(level, function, "%s", text);
  // pcscd owns openlog(); the facility goes with each line instead.
  ::syslog(LOG_DAEMON | syslogPriority(level), "Brindleworth Virtual Reader: %s", text);
}

std::string printable(std::string_view text) {
  constexpr std::size_t kMax = 240;
  std::string out;
  for (const char c : text.substr(0, kMax)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  if (text.size() > kMax) out += "...";
  return out;
}

}  // namespace quillon::reader

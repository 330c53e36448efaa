#include "base/Trace.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "base/Status.h"
#include "base/Utf8.h"

namespace quillon::trace {

namespace detail {
std::atomic<bool> g_enabled{false};
}

namespace {

struct SessionEntry {
  LoggerHandle logger = 0;  // 0: free
  std::uint8_t level = 0;
  std::shared_ptr<Sink> sink;
};

// The session table. Readers (every trace line) take the lock shared, so lines
// from several threads go out in parallel; control requests take it exclusively,
// so a sink is never released while a line is being written to it.
struct Provider {
  std::shared_mutex mutex;
  std::array<SessionEntry, kMaxSessions> sessions;
};

Provider& provider() {
  static Provider instance;
  return instance;
}

// Stands in for GetTraceLoggerHandle: the request buffer must be a ControlRequest
// naming a session.
bool loggerFromRequest(std::uint32_t bufferSize, void* buffer, const ControlRequest*& request) {
  request = static_cast<const ControlRequest*>(buffer);
  return buffer != nullptr && bufferSize == sizeof(ControlRequest) && request->logger != 0;
}

std::uint32_t reportBadLogger() {
  // Goes where a debugger would see it: no session can be trusted to take it.
  std::fprintf(stderr, "GetTraceLoggerHandle failed. Error code is %lu.\n",
               static_cast<unsigned long>(status::ERROR_INVALID_HANDLE));
  return status::ERROR_INVALID_HANDLE;
}

void refreshEnabled(const Provider& p) {
  bool any = false;
  for (const auto& s : p.sessions) any = any || s.logger != 0;
  detail::g_enabled.store(any, std::memory_order_relaxed);
}

}  // namespace

std::size_t Event::mofLength() const noexcept { return (utf8::utf16Units(text) + 1) * 2; }

std::uint32_t controlCallback(std::uint32_t requestCode, void* /*context*/, std::uint32_t bufferSize,
                              void* buffer) noexcept {
  if (requestCode != kEnableEvents && requestCode != kDisableEvents) return status::ERROR_INVALID_PARAMETER;
  const ControlRequest* request = nullptr;
  if (!loggerFromRequest(bufferSize, buffer, request)) return reportBadLogger();

  Provider& p = provider();
  std::unique_lock lock(p.mutex);
  if (requestCode == kEnableEvents) {
    SessionEntry* slot = nullptr;
    for (auto& s : p.sessions) {
      if (s.logger == request->logger || s.logger == 0) {
        slot = &s;
        break;
      }
    }
    if (slot == nullptr) return status::ERROR_SUCCESS;  // table full: the session gets nothing
    slot->logger = request->logger;
    slot->level = request->level;
    slot->sink = request->sink;
  } else {
    for (auto& s : p.sessions) {
      if (s.logger == request->logger) s = SessionEntry{};
    }
  }
  refreshEnabled(p);
  return status::ERROR_SUCCESS;
}

std::uint32_t enableSession(LoggerHandle logger, std::uint8_t level, std::shared_ptr<Sink> sink) {
  ControlRequest request{logger, level, std::move(sink)};
  return controlCallback(kEnableEvents, nullptr, sizeof request, &request);
}

std::uint32_t disableSession(LoggerHandle logger) {
  ControlRequest request{logger, 0, nullptr};
  return controlCallback(kDisableEvents, nullptr, sizeof request, &request);
}

void disableAllSessions() {
  Provider& p = provider();
  std::unique_lock lock(p.mutex);
  p.sessions = {};
  refreshEnabled(p);
}

void emit(const char* /*file*/, int line, const char* function, std::uint8_t level, const char* format, ...) noexcept {
  if (!enabled()) return;

  // Room for kMaxMessageChars characters of up to four bytes each; anything longer
  // is certainly too long.
  char message[kMaxMessageChars * 4 + 1];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof message) return;
  if (utf8::utf16Units(std::string_view(message, static_cast<std::size_t>(n))) > kMaxMessageChars) return;

  char text[sizeof message + 256];
  const int t = std::snprintf(text, sizeof text, "%s(%d) : %s", function ? function : "", line, message);
  if (t <= 0) return;
  std::string_view eventText(text, std::min(static_cast<std::size_t>(t), sizeof text - 1));
  eventText = utf8::truncateToUtf16Units(eventText, kMaxEventChars);

  const Event event{level, eventText};
  Provider& p = provider();
  std::shared_lock lock(p.mutex);
  for (const auto& s : p.sessions) {
    if (s.logger == 0 || !s.sink) continue;
    if (s.level == 0 || level <= s.level) s.sink->write(event);
  }
}

}  // namespace quillon::trace

// Diagnostic tracing: the process-wide trace provider that every layer reports
// through. Lines reach trace sessions (at most 10, each with a level) that attach
// through QUILLON_TRACE or through enableSession(). When no session listens, a
// QTRACE costs one test of a flag and formats nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace quillon::trace {

// Trace levels, most severe first. A session with level 0 receives every line.
inline constexpr std::uint8_t kCritical = 1;
inline constexpr std::uint8_t kError = 2;
inline constexpr std::uint8_t kWarning = 3;
inline constexpr std::uint8_t kInformation = 4;
inline constexpr std::uint8_t kVerbose = 5;

inline constexpr std::size_t kMaxSessions = 10;
inline constexpr std::size_t kMaxMessageChars = 1023;  // a longer message is dropped
inline constexpr std::size_t kMaxEventChars = 1279;    // "%s(%d) : %s" is cut here

// One trace line as a session receives it. Characters are counted in UTF-16
// units, as the event carries them on the system the format comes from.
struct Event {
  std::uint8_t level;
  std::string_view text;  // UTF-8, "function(line) : message"

  // Size of the event's text field: its UTF-16 units plus the NUL, in bytes.
  std::size_t mofLength() const noexcept;
};

// Where a session's events go. write() may be called from several threads at once.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Event& event) noexcept = 0;
};

using LoggerHandle = std::uint64_t;

// Control requests, as a trace controller sends them to the provider.
inline constexpr std::uint32_t kEnableEvents = 4;   // WMI_ENABLE_EVENTS
inline constexpr std::uint32_t kDisableEvents = 5;  // WMI_DISABLE_EVENTS

// The request buffer of a control request: which session, its level, its sink.
struct ControlRequest {
  LoggerHandle logger = 0;  // 0 is not a valid session
  std::uint8_t level = 0;
  std::shared_ptr<Sink> sink;
};

// The provider's control callback; returns a Win32 error code.
std::uint32_t controlCallback(std::uint32_t requestCode, void* context, std::uint32_t bufferSize,
                              void* buffer) noexcept;

// Convenience wrappers around controlCallback, used by tests and tools.
std::uint32_t enableSession(LoggerHandle logger, std::uint8_t level, std::shared_ptr<Sink> sink);
std::uint32_t disableSession(LoggerHandle logger);
void disableAllSessions();

// Registration for the life of the process: register attaches the sessions that
// QUILLON_TRACE describes; unregister detaches every session.
void registerProvider();
void unregisterProvider();

class ProviderRegistration {
 public:
  ProviderRegistration() { registerProvider(); }
  ~ProviderRegistration() { unregisterProvider(); }
  ProviderRegistration(const ProviderRegistration&) = delete;
  ProviderRegistration& operator=(const ProviderRegistration&) = delete;
};

namespace detail {
extern std::atomic<bool> g_enabled;
}

inline bool enabled() noexcept { return detail::g_enabled.load(std::memory_order_relaxed); }

// Formats and sends one line. `file` is accepted but not sent.
void emit(const char* file, int line, const char* function, std::uint8_t level, const char* format, ...) noexcept
    __attribute__((format(printf, 5, 6)));

}  // namespace quillon::trace

// Trace at the caller's own location; `function` is the name the line carries.
#define QTRACE(level, function, ...)                                                                               \
  do {                                                                                                             \
    if (::quillon::trace::enabled()) ::quillon::trace::emit(__FILE__, __LINE__, (function), (level), __VA_ARGS__); \
  } while (0)

// Trace at a location the caller names (an allocation's recorded source line).
#define QTRACE_AT(file, line, function, level, ...)                                             \
  do {                                                                                          \
    if (::quillon::trace::enabled())                                                            \
      ::quillon::trace::emit((file), static_cast<int>(line), (function), (level), __VA_ARGS__); \
  } while (0)

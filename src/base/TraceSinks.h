// Sinks for trace sessions: standard error, an appended file, syslog, and the
// QUILLON_TRACE parser that turns "LEVEL[:SINK][,LEVEL[:SINK]...]" into sessions.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Trace.h"

namespace quillon::trace {

// Writes each event as one line to a file descriptor in a single write().
class FdSink final : public Sink {
 public:
  FdSink(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FdSink() override;
  FdSink(const FdSink&) = delete;
  FdSink& operator=(const FdSink&) = delete;
  void write(const Event& event) noexcept override;

 private:
  int fd_;
  bool owned_;
};

class SyslogSink final : public Sink {
 public:
  SyslogSink();
  void write(const Event& event) noexcept override;
};

// Opens a file for appending (created 0600); null when it cannot be opened.
std::shared_ptr<Sink> openFileSink(const std::string& path);

struct SessionSetting {
  std::uint8_t level = 0;
  std::shared_ptr<Sink> sink;
};

// Parses a QUILLON_TRACE value. Items that do not parse are reported in `rejected`.
std::vector<SessionSetting> parseSessionSettings(std::string_view value, std::vector<std::string>& rejected);

}  // namespace quillon::trace

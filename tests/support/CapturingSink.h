// A trace session for tests: records every event it receives, and attaches itself
// for the life of the object.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Trace.h"

namespace quillon::test {

class CapturingSink final : public trace::Sink {
 public:
  struct Line {
    std::uint8_t level;
    std::string text;
  };
  void write(const trace::Event& event) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.push_back({event.level, std::string(event.text)});
  }
  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Number of lines whose text contains `fragment`.
  std::size_t count(const std::string& fragment) const {
    std::size_t n = 0;
    for (const Line& l : lines()) n += l.text.find(fragment) != std::string::npos;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

// Enables a capturing session at `level` under `logger`; disables it when destroyed.
class TraceCapture {
 public:
  explicit TraceCapture(std::uint8_t level = 0, trace::LoggerHandle logger = 0x7E57)
      : logger_(logger), sink_(std::make_shared<CapturingSink>()) {
    trace::enableSession(logger_, level, sink_);
  }
  ~TraceCapture() { trace::disableSession(logger_); }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  CapturingSink& sink() { return *sink_; }

 private:
  trace::LoggerHandle logger_;
  std::shared_ptr<CapturingSink> sink_;
};

}  // namespace quillon::test

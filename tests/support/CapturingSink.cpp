#include "support/CapturingSink.h"

namespace quillon::test {

void CapturingSink::write(const trace::Event& event) noexcept {
  std::lock_guard lock(mutex_);
  lines_.push_back({event.level, std::string(event.text)});
}

std::vector<CapturingSink::Line> CapturingSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t CapturingSink::count(const std::string& fragment) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& l : lines_) n += l.text.find(fragment) != std::string::npos;
  return n;
}

void CapturingSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

TraceCapture::TraceCapture(std::uint8_t level, trace::LoggerHandle logger)
    : logger_(logger), sink_(std::make_shared<CapturingSink>()) {
  trace::enableSession(logger_, level, sink_);
}

TraceCapture::~TraceCapture() { trace::disableSession(logger_); }

}  // namespace quillon::test

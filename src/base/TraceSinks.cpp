#include "base/TraceSinks.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

namespace quillon::trace {

FdSink::~FdSink() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

void FdSink::write(const Event& event) noexcept {
  // One write() per line keeps lines from several threads or processes whole.
  char line[kMaxEventChars * 4 + 2];
  const std::size_t n = std::min(event.text.size(), sizeof line - 1);
  std::memcpy(line, event.text.data(), n);
  line[n] = '\n';
  std::size_t done = 0;
  while (done < n + 1) {
    const ssize_t w = ::write(fd_, line + done, n + 1 - done);
    if (w <= 0) return;  // a trace line is never worth more than this
    done += static_cast<std::size_t>(w);
  }
}

SyslogSink::SyslogSink() { ::openlog("quillon", LOG_PID, LOG_USER); }

void SyslogSink::write(const Event& event) noexcept {
  int priority = LOG_DEBUG;
  switch (event.level) {
    case kCritical: priority = LOG_CRIT; break;
    case kError: priority = LOG_ERR; break;
    case kWarning: priority = LOG_WARNING; break;
    case kInformation: priority = LOG_INFO; break;
    default: break;
  }
  ::syslog(priority, "%.*s", static_cast<int>(event.text.size()), event.text.data());
}

std::shared_ptr<Sink> openFileSink(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  return std::make_shared<FdSink>(fd, true);
}

std::vector<SessionSetting> parseSessionSettings(std::string_view value, std::vector<std::string>& rejected) {
  std::vector<SessionSetting> settings;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    const std::string_view item = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma + 1);
    if (item.empty()) continue;

    const std::size_t colon = item.find(':');
    const std::string_view levelText = item.substr(0, colon);
    const std::string_view target =
        colon == std::string_view::npos ? std::string_view{"stderr"} : item.substr(colon + 1);
    if (levelText.size() != 1 || levelText[0] < '0' || levelText[0] > '5' || target.empty()) {
      rejected.emplace_back(item);
      continue;
    }
    SessionSetting setting;
    setting.level = static_cast<std::uint8_t>(levelText[0] - '0');
    if (target == "stderr")
      setting.sink = std::make_shared<FdSink>(STDERR_FILENO, false);
    else if (target == "syslog")
      setting.sink = std::make_shared<SyslogSink>();
    else
      setting.sink = openFileSink(std::string(target));
    if (!setting.sink) {
      rejected.emplace_back(item);
      continue;
    }
    settings.push_back(std::move(setting));
  }
  return settings;
}

}  // namespace quillon::trace

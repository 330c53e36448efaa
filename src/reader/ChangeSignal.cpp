#include "reader/ChangeSignal.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quillon::reader {

ChangeSignal::ChangeSignal() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!event_.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void ChangeSignal::notify() noexcept {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is saturated: a wake-up is pending anyway.
  while (::write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void ChangeSignal::wait(int mountInfo, std::chrono::milliseconds timeout) noexcept {
  struct pollfd fds[2] = {{event_.get(), POLLIN, 0}, {mountInfo, POLLPRI, 0}};
  const int count = mountInfo >= 0 ? 2 : 1;
  const auto ms = timeout.count() < 0 ? 0 : timeout.count() > 3600000 ? 3600000 : static_cast<int>(timeout.count());
  if (::poll(fds, count, ms) > 0 && (fds[0].revents & POLLIN) != 0) {
    std::uint64_t value = 0;
    while (::read(event_.get(), &value, sizeof value) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace quillon::reader

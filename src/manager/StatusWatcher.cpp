#include "manager/StatusWatcher.h"

#include <winscard.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/Trace.h"

namespace quillon::manager {

namespace {

constexpr const char* kNotification = "\\\\?PnP?\\Notification";  // readers added or removed
constexpr const char* kReaderPrefix = "Brindleworth";

// The virtual reader's name, or empty.
std::string findReader(SCARDCONTEXT context) {
  DWORD length = 0;
  if (SCardListReaders(context, nullptr, nullptr, &length) != SCARD_S_SUCCESS || length == 0) return {};
  std::vector<char> names(length);
  if (SCardListReaders(context, nullptr, names.data(), &length) != SCARD_S_SUCCESS) return {};
  names.resize(length);
  names.push_back('\0');
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1)
    if (std::strncmp(name, kReaderPrefix, std::strlen(kReaderPrefix)) == 0) return name;
  return {};
}

}  // namespace

StatusWatcher::StatusWatcher(std::function<void()> changed) : changed_(std::move(changed)) {
  thread_ = std::thread([this] { run(); });
}

StatusWatcher::~StatusWatcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (hasContext_) SCardCancel(context_);
  }
  wake_.notify_all();
  thread_.join();
}

bool StatusWatcher::pause(std::chrono::milliseconds delay) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return stopping_; });
}

void StatusWatcher::run() {
  while (true) {
    SCARDCONTEXT context = 0;
    const LONG rc = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rc != SCARD_S_SUCCESS)
      QTRACE(trace::kInformation, "StatusWatcher", "StatusWatcher: SCardEstablishContext returned 0x%08lX",
             static_cast<unsigned long>(rc));
    if (rc == SCARD_S_SUCCESS) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) {
          SCardReleaseContext(context);
          return;
        }
        context_ = context;
        hasContext_ = true;
      }
      watch(context);
      {
        std::lock_guard lock(mutex_);
        hasContext_ = false;
      }
      SCardReleaseContext(context);
    }
    changed_();  // the service went away, or is not there: say so
    if (!pause(std::chrono::seconds(2))) return;
  }
}

void StatusWatcher::watch(long context) {
  DWORD readerState = SCARD_STATE_UNAWARE;
  DWORD notificationState = SCARD_STATE_UNAWARE;
  while (true) {
    const std::string reader = findReader(context);
    SCARD_READERSTATE states[2] = {};
    states[0].szReader = kNotification;
    states[0].dwCurrentState = notificationState;
    DWORD count = 1;
    if (!reader.empty()) {
      states[1].szReader = reader.c_str();
      states[1].dwCurrentState = readerState;
      count = 2;
    }
    const LONG rc = SCardGetStatusChange(context, INFINITE, states, count);
    if (rc == SCARD_E_TIMEOUT) continue;
    if (rc != SCARD_S_SUCCESS) {  // cancelled, or the service went away
      QTRACE(trace::kInformation, "StatusWatcher", "StatusWatcher: SCardGetStatusChange returned 0x%08lX",
             static_cast<unsigned long>(rc));
      return;
    }
    notificationState = states[0].dwEventState & ~SCARD_STATE_CHANGED;
    const bool readerChanged = count == 2 && (states[1].dwEventState & SCARD_STATE_CHANGED) != 0;
    readerState = count == 2 ? states[1].dwEventState & ~SCARD_STATE_CHANGED : SCARD_STATE_UNAWARE;
    if (readerChanged || (states[0].dwEventState & SCARD_STATE_CHANGED) != 0) changed_();
  }
}

}  // namespace quillon::manager

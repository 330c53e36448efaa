// Watches the PC/SC readers and the virtual reader's card on a thread of its own
// (SCardGetStatusChange, woken by the service itself, never polled) and calls
// `changed` on every change: a reader added or removed, a card inserted or
// removed. While the smart-card service is not running it looks again every
// two seconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quillon::manager {

class StatusWatcher {
 public:
  // `changed` runs on the watcher's thread.
  explicit StatusWatcher(std::function<void()> changed);
  ~StatusWatcher();  // cancels the wait and joins the thread
  StatusWatcher(const StatusWatcher&) = delete;
  StatusWatcher& operator=(const StatusWatcher&) = delete;

 private:
  void run();
  // One PC/SC context's watch; returns when the context is useless or stopping.
  void watch(long context);
  bool pause(std::chrono::milliseconds delay);  // false when stopping

  std::function<void()> changed_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  long context_ = 0;  // the context being waited on, for SCardCancel
  bool hasContext_ = false;
  std::thread thread_;
};

}  // namespace quillon::manager

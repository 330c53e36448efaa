#include "wizard/FormatJob.h"

#include <exception>
#include <system_error>

#include "base/Status.h"
#include "base/Trace.h"

namespace quillon::wizard {

FormatJob::~FormatJob() {
  if (thread_.joinable()) thread_.join();
}

bool FormatJob::start(std::shared_ptr<const FormatRequest> request, Formatter formatter) {
  if (running()) return false;
  try {
    thread_ = std::thread([this, request = std::move(request), formatter = std::move(formatter)]() mutable {
      QTRACE(trace::kVerbose, "FormatWorkerThread", "FormatWorkerThread: start");
      FormatResult result;
      try {
        result = formatter(*request);
      } catch (...) {
        // Nothing may leave the thread; the creation failed.
        result = FormatResult{status::E_FAIL, ReaderStep::kCreate};
      }
      QTRACE(trace::kVerbose, "FormatWorkerThread", "FormatWorkerThread: Format() returned 0x%08x", result.status);
      request.reset();
      formatter = nullptr;
      // Delivered on the job's thread; the destructor joins this thread first, so
      // the job outlives the call.
      QMetaObject::invokeMethod(
          this, [this, result] { ended(result); }, Qt::QueuedConnection);
    });
  } catch (const std::system_error& e) {
    QTRACE(trace::kError, "FormatCard", "FormatCard: CreateThread failed 0x%08x",
           status::win32FromErrno(e.code().value()));
    return false;
  }
  return true;
}

void FormatJob::ended(FormatResult result) {
  if (thread_.joinable()) thread_.join();
  Q_EMIT finished(result);
}

}  // namespace quillon::wizard

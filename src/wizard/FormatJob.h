// One card creation on a thread of its own, so that the dialog keeps drawing
// while the card is written. The request is shared with the thread: it stays
// whole (secrets included) until the thread is done with it, whoever lets go
// first, and is wiped when the last holder does.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "personalise/FormatCard.h"
#include "personalise/ReaderControl.h"

namespace quillon::wizard {

struct FormatResult {
  std::uint32_t status = 0;
  ReaderStep failedStep = ReaderStep::kNone;
};

// Creates the card a request describes: the reader around the creation.
using Formatter = std::function<FormatResult(const FormatRequest& request)>;

class FormatJob final : public QObject {
  Q_OBJECT

 public:
  explicit FormatJob(QObject* parent = nullptr) : QObject(parent) {}
  ~FormatJob() override;  // waits for a running thread

  // Starts the thread; false (traced) when it cannot be started or one runs.
  bool start(std::shared_ptr<const FormatRequest> request, Formatter formatter);
  bool running() const { return thread_.joinable(); }

 Q_SIGNALS:
  // On the job's own thread, once the creation has ended and let go of the request.
  void finished(quillon::wizard::FormatResult result);

 private:
  void ended(FormatResult result);

  std::thread thread_;
};

}  // namespace quillon::wizard

// The wizard's drive list: the compatible drives (mount points) in order, and a
// watcher that says when the mount table changed so that the list is filled
// again. The kernel marks a change of a process's mountinfo as an exceptional
// condition for poll, once per mount or unmount.
#pragma once

#include <QComboBox>
#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "base/FileHandle.h"
#include "platform/SystemPaths.h"

namespace quillon::desktop {

// Fills `list` with the compatible drives. The selected drive stays selected
// while it is listed; otherwise the first entry is selected. Returns the count.
int UpdateVolumes(QComboBox& list, const platform::SystemPaths& paths);

class MountWatcher final : public QObject {
  Q_OBJECT

 public:
  explicit MountWatcher(const platform::SystemPaths& paths, QObject* parent = nullptr);

  // False when the mount table could not be opened: the list is then filled
  // only when the dialog starts.
  bool watching() const { return notifier_ != nullptr; }

 Q_SIGNALS:
  void mountsChanged();

 private:
  FileHandle mountInfo_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quillon::desktop

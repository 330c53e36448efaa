#include "desktop/DriveList.h"

#include <fcntl.h>

#include <string>
#include <vector>

#include "base/Trace.h"
#include "platform/Drives.h"

namespace quillon::desktop {

namespace {
constexpr const char* kFn = "UpdateVolumes";
}

int UpdateVolumes(QComboBox& list, const platform::SystemPaths& paths) {
  QTRACE(trace::kVerbose, kFn, "UpdateVolumes");
  // Items carry the mount point's own bytes; the text is only for the eye.
  const QByteArray selected = list.currentData().toByteArray();
  std::vector<std::string> drives;
  std::uint32_t error = 0;
  if (!platform::listCompatibleDrives(paths, drives, error)) {
    QTRACE(trace::kError, kFn, "UpdateVolumes: the mount table cannot be read 0x%08x", error);
    drives.clear();
  }
  // A refill is no choice of the user's: it sends no change signals.
  const QSignalBlocker quiet(list);
  list.clear();
  for (const std::string& drive : drives) {
    QTRACE(trace::kInformation, kFn, "UpdateVolumes: adding %s to combo", drive.c_str());
    list.addItem(QString::fromStdString(drive), QByteArray::fromStdString(drive));
  }
  const int count = list.count();
  QTRACE(trace::kInformation, kFn, "UpdateVolumes: %d compatible drive(s) found", count);
  const int kept = selected.isEmpty() ? -1 : list.findData(selected);
  list.setCurrentIndex(kept >= 0 ? kept : (count > 0 ? 0 : -1));
  return count;
}

MountWatcher::MountWatcher(const platform::SystemPaths& paths, QObject* parent) : QObject(parent) {
  const std::string table = (paths.procRoot() / "self" / "mountinfo").string();
  mountInfo_ = FileHandle(::open(table.c_str(), O_RDONLY | O_CLOEXEC));
  if (!mountInfo_.valid()) {
    QTRACE(trace::kWarning, kFn, "UpdateVolumes: cannot watch %s (errno %d)", table.c_str(), errno);
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(mountInfo_.get(), QSocketNotifier::Exception);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &MountWatcher::mountsChanged);
}

}  // namespace quillon::desktop

// The drive list: compatible drives in order, refilled when the mount table
// changes, the user's choice kept while its drive is listed; and, as root, the
// watcher on the real mount table of a private mount namespace.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QTest>
#include <cerrno>
#include <cstring>

#include "WizardKit.h"
#include "desktop/DriveList.h"
#include "support/CapturingSink.h"

namespace quillon::test {

namespace fs = std::filesystem;

namespace {

QStringList items(const QComboBox& list) {
  QStringList texts;
  for (int i = 0; i < list.count(); ++i) texts << list.itemText(i);
  return texts;
}

}  // namespace

class DriveListTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void refillsKeepTheChoiceWhileItsDriveIsListed() {
    WizardWorld world(false);
    SysfsTree& tree = world.tree;
    tree.addUsbStick(SysfsTree::Stick{});
    tree.addUsbStick(SysfsTree::stickAt("sdc", 32, 7));
    tree.addFixedDisk("sda", 8, 0);
    const QString a = QString::fromStdString((tree.root() / "media" / "A").string()),
                  b = QString::fromStdString((tree.root() / "media" / "B").string());
    desktop::MountWatcher* watcher = nullptr;
    // Mounts the sticks listed (sdb at A, sdc at B) and, always, the fixed disk.
    auto mountOnly = [&](bool withA, bool withB) {
      fs::remove(tree.root() / "proc" / "self" / "mountinfo");
      tree.mount(8, 1, "/");
      if (withB) tree.mount(8, 33, b.toStdString());
      if (withA) tree.mount(8, 17, a.toStdString());
      if (watcher != nullptr) Q_EMIT watcher->mountsChanged();
    };
    mountOnly(true, true);
    auto dialog = world.makeDialog();
    auto* list = control<QComboBox>(*dialog, "drive");
    watcher = dialog->findChild<desktop::MountWatcher*>();
    QVERIFY(watcher != nullptr);
    QCOMPARE(items(*list), QStringList({a, b}));
    QCOMPARE(list->currentIndex(), 0);

    list->setCurrentIndex(1);  // the user picks B
    mountOnly(false, true);    // A goes: B stays picked
    QCOMPARE(items(*list), QStringList{b});
    QCOMPARE(list->currentText(), b);
    mountOnly(true, true);  // A comes back ahead of B: B stays picked
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->currentText(), b);
    mountOnly(true, false);  // B goes: the first entry
    QCOMPARE(list->currentText(), a);
    mountOnly(false, false);
    QCOMPARE(list->currentIndex(), -1);
    mountOnly(false, true);  // nothing was selected: the first entry
    QCOMPARE(list->currentText(), b);
    // A refill is no choice of the user's: the item data is the drive itself.
    QCOMPARE(list->currentData().toByteArray(), b.toUtf8());
  }

  // The only check of the watcher against the kernel's own mount events.
  void theRealMountTableSignalsOncePerMount() {
    if (::geteuid() != 0) QSKIP("needs root: mounts a tmpfs in a mount namespace of its own");
    // The main thread is the process's leader, whose namespace /proc/self shows.
    if (::unshare(CLONE_NEWNS) != 0) QSKIP(qPrintable(QString("unshare: ") + std::strerror(errno)));
    QVERIFY(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    WizardWorld world(false);
    auto services = world.services();
    services.paths = platform::SystemPaths();
    wizard::WizardDialog dialog(services);
    auto* watcher = dialog.findChild<desktop::MountWatcher*>();
    QVERIFY(watcher->watching());
    TraceCapture capture(trace::kInformation);
    QSignalSpy changes(watcher, &desktop::MountWatcher::mountsChanged);

    const fs::path dir = world.tree.root() / "tmpfs";
    fs::create_directories(dir);
    for (int expected = 1; expected <= 2; ++expected) {
      QVERIFY(expected == 1 ? ::mount("quillon-test", dir.c_str(), "tmpfs", 0, "size=64k") == 0
                            : ::umount(dir.c_str()) == 0);
      QVERIFY(changes.wait(5000));
      QTest::qWait(300);  // no second signal for the same change
      QCOMPARE(changes.count(), expected);
      QCOMPARE(capture.sink().count("compatible drive(s) found"), std::size_t(expected));
    }
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::DriveListTest)
#include "DriveListTest.moc"

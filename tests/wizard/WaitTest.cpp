// The wait for the card creation: the dialog disabled with the wait cursor but
// still handling events (else the wait could not time out), closing refused while
// the creation runs (before and after the wait times out), a second operation
// refused, and the request whole until the worker is done with it.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <future>

#include "WizardKit.h"

namespace quillon::test {

using wizard::WizardDialog;

class WaitTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void aSlowCreationTimesOutAndStillEndsWell() {
    WizardWorld world;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> pinReadAfterTimeout{false};
    world.whileFormatting = [&] { released.wait(); };
    auto services = world.services();
    services.formatTimeout = std::chrono::milliseconds(300);
    const auto recordingFormat = services.format;
    services.format = [&, recordingFormat](const FormatRequest& request) {
      const wizard::FormatResult result = recordingFormat(request);
      // Read after the dialog gave up waiting and let go of its share.
      pinReadAfterTimeout = std::string(ossl::chars(request.pin)) == "2468";
      return result;
    };
    WizardDialog dialog(services);
    dialog.show();
    control<QLineEdit>(dialog, "pin")->setText("2468");
    control<QLineEdit>(dialog, "adminKey")->setText(QString(48, 'A'));
    QSignalSpy reported(&dialog, &WizardDialog::formatReported);

    QTest::mouseClick(control<QPushButton>(dialog, "initialize"), Qt::LeftButton);
    QVERIFY(dialog.waiting());
    QVERIFY(QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor);
    // The title bar's close and Escape are refused.
    QVERIFY(!dialog.close());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(!dialog.waiting(), 5000);
    QCOMPARE(world.boxes.texts().last(),
             QString("The operation timed out. The virtual reader may be in an inconsistent state."));
    QVERIFY(QApplication::overrideCursor() == nullptr);
    QVERIFY(dialog.formatRunning());

    // Usable again, but nothing that would reach the reader, and no closing.
    world.boxes.shown.clear();
    QTest::mouseClick(control<QPushButton>(dialog, "initialize"), Qt::LeftButton);
    QTest::mouseClick(control<QPushButton>(dialog, "clear"), Qt::LeftButton);
    QTest::mouseClick(control<QPushButton>(dialog, "cancel"), Qt::LeftButton);
    QVERIFY(!dialog.close());
    const QString busy =
        "A card is still being created. Wait until that has ended before starting another "
        "operation on the reader.";
    const QString closing = "A card is still being created. The wizard cannot be closed until that has ended.";
    QCOMPARE(world.boxes.texts(), QStringList({busy, busy, closing, closing}));

    world.boxes.shown.clear();
    release.set_value();
    QVERIFY(reported.wait(5000));
    QVERIFY(pinReadAfterTimeout);
    QCOMPARE(world.created.size(), std::size_t{1});
    QCOMPARE(world.boxes.shown.at(0).caption, QString("Success"));
    QVERIFY(!dialog.formatRunning());
    QVERIFY(dialog.close());
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::WaitTest)
#include "WaitTest.moc"

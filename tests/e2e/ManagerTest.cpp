// The manager's window on the real reader in a private pcscd (CardWorld): it
// shows the card the reader took up when its channel opened, follows it as the
// reader lets go of it and takes it up again (told by the status watcher, not by
// the window's own operations), and changes its PIN so that the old one no longer
// opens it. Skipped, saying why, where a private pcscd cannot run.
//
// libpcsclite reads the socket's name once per process: one test on one world.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "CardWorld.h"
#include "manager/ManagerWindow.h"
#include "manager/ReaderCardSource.h"
#include "support/ScriptedBoxes.h"

namespace quillon::test {
namespace {

using manager::ManagerWindow;

TEST(ManagerEndToEndTest, ShowsTheServedCardFollowsItAndChangesItsPin) {
  if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
  CardWorld world;
  world.stick().createCard();  // PIN 1234; mounted before pcscd starts, so taken up at once
  ASSERT_NO_THROW(world.pcscd().start());
  world.pcscd().useInThisProcess();
  ScriptedBoxes boxes;
  manager::ReaderCardSource source(world.stick().paths());
  ManagerWindow window(source, boxes, world.stick().paths(),
                       [&](const manager::SecretRequest& request, QWidget* owner) {
                         auto dialog = std::make_unique<manager::SecretDialog>(request, boxes, owner);
                         QTest::keyClicks(dialog->findChild<QLineEdit*>("current"), "1234");
                         QTest::keyClicks(dialog->findChild<QLineEdit*>("next"), "97531");
                         QTest::keyClicks(dialog->findChild<QLineEdit*>("again"), "97531");
                         QTest::mouseClick(dialog->findChild<QPushButton*>("ok"), Qt::LeftButton);
                         return dialog->result() == QDialog::Accepted ? std::move(dialog) : nullptr;
                       });
  window.show();
  auto shows = [&](bool card) { return window.state().reader.cardPresent == card && window.state().infoRead == card; };

  ASSERT_TRUE(QTest::qWaitFor([&] { return shows(true); }, 10000));
  EXPECT_EQ(window.state().info.serial, kCardSerial);
  EXPECT_EQ(window.state().info.pinTriesLeft, 3);

  // Another program has the reader let go of the card: the watcher tells the window.
  ChildResult r = world.run({CardWorld::kCardProgram, "eject"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  ASSERT_TRUE(QTest::qWaitFor([&] { return shows(false); }, 10000));
  r = world.run({CardWorld::kCardProgram, "insert", world.drive().string()});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  ASSERT_TRUE(QTest::qWaitFor([&] { return shows(true); }, 10000));

  QSignalSpy reported(&window, &ManagerWindow::operationReported);
  QTest::mouseClick(window.findChild<QPushButton*>("changePin"), Qt::LeftButton);
  ASSERT_TRUE(reported.wait(20000));
  const auto shown = boxes.takeShown();
  ASSERT_EQ(shown.size(), 1u) << describe(shown);
  EXPECT_EQ(shown[0].text.toStdString(), "The PIN was changed.");
  // The old PIN is refused now, the new one opened the card: one try used, then the change.
  r = world.run({"opensc-tool", "-r", CardWorld::kReaderName, "-s", kSelectGids, "-s", "00200080043132333400"});
  EXPECT_NE(r.out.find("SW1=0x63, SW2=0xC2"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace quillon::test

// The wizard as its user drives it, with the real card creation and the virtual
// reader in a private pcscd (CardWorld): the dialog lists the stick, creates a
// card with the PIN, administrator key and serial number typed into it, and
// OpenSC's tools then read that card through pcscd; "Clear the card" leaves it
// alone when the user says No and takes it away when the user says Yes. Message
// boxes are answered by a script (ScriptedBoxes). Skipped, saying why, where a
// private pcscd cannot run or OpenSC's tools are missing.
//
// libpcsclite reads the socket's name once per process, so the whole story is
// one test on one world.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "CardUserTest.h"
#include "support/ScriptedBoxes.h"
#include "wizard/WizardDialog.h"

namespace quillon::test {
namespace {

using wizard::WizardDialog;

// Not the wizard's defaults, which it would warn about.
constexpr const char* kTypedPin = "86420135";
constexpr const char* kTypedKey = "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6";
constexpr const char* kTypedSerial = "C0FFEE0123456789ABCDEF0011223344";

class WizardEndToEndTest : public CardUserTest {
 protected:
  void SetUp() override {
    CardUserTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    world.pcscd().useInThisProcess();
    wizard::WizardServices services = wizard::WizardServices::system(boxes, world.stick().paths());
    services.managerAvailable = [] { return false; };  // no program is launched from a test
    dialog = std::make_unique<WizardDialog>(std::move(services));
    dialog->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  }
  void TearDown() override {
    if (dialog) dialog->hide();
    CardUserTest::TearDown();
  }

  template <class Control>
  Control* control(const char* name) {
    auto* found = dialog->findChild<Control*>(name);
    if (found == nullptr) throw std::runtime_error(std::string("the dialog has no control ") + name);
    return found;
  }
  // Replaces a field's text as a user does: select all, then type.
  void type(const char* field, const char* text) {
    auto* edit = control<QLineEdit>(field);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
  }
  void click(const char* button) { QTest::mouseClick(control<QPushButton>(button), Qt::LeftButton); }

  ScriptedBoxes boxes;
  std::unique_ptr<WizardDialog> dialog;
};

TEST_F(WizardEndToEndTest, CreatesTheTypedCardThatOpenScReadsAndClearsItOnlyWhenConfirmed) {
  // The stick is listed, by its mount point.
  auto* drive = control<QComboBox>("drive");
  ASSERT_EQ(drive->count(), 1);
  EXPECT_EQ(drive->currentData().toByteArray().toStdString(), world.drive().string());

  type("pin", kTypedPin);
  type("adminKey", kTypedKey);
  type("serial", kTypedSerial);

  QSignalSpy reported(dialog.get(), &WizardDialog::formatReported);
  click("initialize");
  ASSERT_TRUE(reported.count() > 0 || reported.wait(60000)) << describe(boxes.takeShown());
  ASSERT_EQ(reported.count(), 1);
  EXPECT_EQ(reported.at(0).at(0).value<quint32>(), 0u);
  EXPECT_FALSE(dialog->waiting());
  std::vector<desktop::BoxContent> shown = boxes.takeShown();
  ASSERT_EQ(shown.size(), 1u) << describe(shown);
  EXPECT_EQ(shown[0].caption, "Success");
  EXPECT_EQ(shown[0].icon, QMessageBox::Information);
  EXPECT_TRUE(shown[0].text.startsWith("Congratulations!")) << describe(shown);

  // OpenSC sees the card with the typed serial number, PIN and administrator key.
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  ASSERT_TRUE(waitForCard(true));
  ProcessResult r = world.run({"pkcs15-tool", "--dump"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (const char* text : {"PKCS#15 Card [GIDS card]", "Serial number  : c0ffee0123456789abcdef0011223344",
                           "PIN [UserPIN]", "Tries left     : 3"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;
  EXPECT_EQ(world.sendApdus({"00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00", "00 20 00 80 04 37 39 33 31",
                             "00 20 00 80 08 38 36 34 32 30 31 33 35"}),
            (std::vector<std::string>{"9000", "63C2", "9000"}));  // the default PIN is refused, the typed one taken
  r = world.run({"gids-tool", "--unblock", "--admin-key", kTypedKey, "--pin", "5678"});
  EXPECT_NE(r.output.find("Administrator authentication successful"), npos) << r.output;

  // Clear the card, answered No: the card stays, served.
  boxes.answers = {QMessageBox::No};
  click("clear");
  shown = boxes.takeShown();
  ASSERT_EQ(shown.size(), 1u) << describe(shown);
  EXPECT_EQ(shown[0].icon, QMessageBox::Warning);
  EXPECT_EQ(shown[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_TRUE(shown[0].text.contains(QString::fromStdString(world.drive().string()))) << describe(shown);
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(true));

  // Answered Yes: the reader lets go of the card and the container is deleted.
  boxes.answers = {QMessageBox::Yes};
  click("clear");
  shown = boxes.takeShown();
  ASSERT_EQ(shown.size(), 1u) << describe(shown);  // the question; success needs no box
  EXPECT_EQ(shown[0].icon, QMessageBox::Warning);
  EXPECT_TRUE(boxes.answers.empty());
  EXPECT_FALSE(fs::exists(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(false));
}

}  // namespace
}  // namespace quillon::test

// The wizard driven through its dialog against the real card creation and the
// virtual reader in a private pcscd: OpenSC reads the card with the typed serial
// number and PIN; "Clear the card" takes it away once confirmed. libpcsclite
// reads the socket's name once per process: one test on one world.
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
    return dialog->findChild<Control*>(name);
  }
  void type(const char* field, const char* text) {  // select all, then type
    QTest::keyClick(control<QLineEdit>(field), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(control<QLineEdit>(field), text);
  }
  void click(const char* button) { QTest::mouseClick(control<QPushButton>(button), Qt::LeftButton); }

  ScriptedBoxes boxes;
  std::unique_ptr<WizardDialog> dialog;
};

TEST_F(WizardEndToEndTest, CreatesTheTypedCardThatOpenScReadsAndClearsItWhenConfirmed) {
  ASSERT_EQ(control<QComboBox>("drive")->currentData().toByteArray().toStdString(), world.drive().string());
  type("pin", kTypedPin);
  type("adminKey", kTypedKey);
  type("serial", kTypedSerial);
  QSignalSpy reported(dialog.get(), &WizardDialog::formatReported);
  click("initialize");
  ASSERT_TRUE(reported.count() > 0 || reported.wait(60000)) << describe(boxes.takeShown());
  EXPECT_EQ(reported.at(0).at(0).value<quint32>(), 0u);
  std::vector<desktop::BoxContent> shown = boxes.takeShown();
  ASSERT_EQ(shown.size(), 1u) << describe(shown);
  EXPECT_EQ(shown[0].caption, "Success");

  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : c0ffee0123456789abcdef0011223344"), npos);
  EXPECT_EQ(world.sendApdus({kSelectGids, "00 20 00 80 04 37 39 33 31", "00 20 00 80 08 38 36 34 32 30 31 33 35"}),
            (std::vector<std::string>{"9000", "63C2", "9000"}));  // the default PIN is refused, the typed one taken
  const ChildResult r = run({"gids-tool", "--unblock", "--admin-key", kTypedKey, "--pin", "5678"});
  EXPECT_NE(r.out.find("Administrator authentication successful"), npos) << r.out;

  boxes.answers = {QMessageBox::No};
  click("clear");
  EXPECT_EQ(boxes.takeShown().size(), 1u);
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  boxes.answers = {QMessageBox::Yes};
  click("clear");
  EXPECT_EQ(boxes.takeShown().size(), 1u);  // the question; success needs no box
  EXPECT_FALSE(fs::exists(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(false));
}

}  // namespace
}  // namespace quillon::test

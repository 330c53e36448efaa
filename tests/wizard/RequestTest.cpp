// "Initialize card" and "Clear the card" as the user meets them: the request's
// checks in their order with their boxes, the warnings' Yes and No, what the card
// creation is given, the outcome boxes, and Clear's confirmation and boxes.
#include <QTest>
#include <fstream>

#include "WizardKit.h"
#include "base/Status.h"
#include "support/TestData.h"

namespace quillon::test {

using desktop::BoxContent;
using wizard::WizardDialog;

namespace {

constexpr const char* kKey = "00112233445566778899AABBCCDDEEFF0011223344556677";
constexpr const char* kSerial = "0123456789ABCDEF0123456789ABCDEF";

void fill(WizardDialog& dialog, const QString& pin, const QString& key, const QString& serial) {
  control<QLineEdit>(dialog, "pin")->setText(pin);
  control<QLineEdit>(dialog, "adminKey")->setText(key);
  control<QLineEdit>(dialog, "serial")->setText(serial);
}

// caption|icon|text of every box shown, for whole-sequence comparisons.
QStringList boxes(const ScriptedBoxes& scripted) {
  QStringList list;
  for (const BoxContent& box : scripted.shown)
    list << QString("%1|%2|%3").arg(box.caption).arg(static_cast<int>(box.icon)).arg(box.text);
  return list;
}

QString titled(QMessageBox::Icon icon, const char* text) {
  return QString("%1|%2|%3").arg(WizardDialog::kTitle).arg(static_cast<int>(icon)).arg(text);
}

}  // namespace

class RequestTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void checksInTheirOrder_data() {
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("message");
    QTest::newRow("PIN of 3") << "123" << kKey << kSerial << "The PIN must be between 4 and 16 digits long.";
    QTest::newRow("key of 47") << "1234" << QString(kKey).left(47) << kSerial
                               << "The admin key must be 48 hexadecimal characters (24 bytes).";
    QTest::newRow("PIN before key") << ""
                                    << ""
                                    << ""
                                    << "The PIN must be between 4 and 16 digits long.";
    QTest::newRow("serial of 31") << "1234" << kKey << QString(kSerial).left(31)
                                  << "The serial number must be exactly 32 hexadecimal characters.";
    QTest::newRow("serial with G") << "1234" << kKey << QString(kSerial).left(31) + "G"
                                   << "The serial number contains an invalid character (allowed: 0-9 A-F).";
  }
  void checksInTheirOrder() {
    QFETCH(QString, pin);
    QFETCH(QString, key);
    QFETCH(QString, serial);
    QFETCH(QString, message);
    WizardWorld world;
    auto dialog = world.makeDialog();
    fill(*dialog, pin, key, serial);
    world.initialize(*dialog);
    QCOMPARE(boxes(world.boxes), QStringList{titled(QMessageBox::Critical, message.toUtf8().constData())});
    QVERIFY(world.created().empty());
    // The fields keep what the user typed.
    QCOMPARE(control<QLineEdit>(*dialog, "pin")->text(), pin);
  }

  void noDriveNoRequest() {
    WizardWorld world(false);
    auto dialog = world.makeDialog();
    QCOMPARE(control<QComboBox>(*dialog, "drive")->count(), 0);
    fill(*dialog, "1234", kKey, kSerial);
    world.initialize(*dialog);
    world.boxes.otherwise = QMessageBox::Yes;
    world.clearResult = {status::E_INVALIDARG, ReaderStep::kDrive, false, "No drive has been selected."};
    QTest::mouseClick(control<QPushButton>(*dialog, "clear"), Qt::LeftButton);
    // No confirmation without a drive: straight to Clear, which finds none.
    QCOMPARE(boxes(world.boxes), QStringList({titled(QMessageBox::Critical, "No drive has been selected."),
                                              titled(QMessageBox::Critical, "No drive has been selected.")}));
    QCOMPARE(world.cleared, std::vector<std::string>{""});
    QVERIFY(world.created().empty());
  }

  void warningsAnsweredNoStopAndYesGoOn() {
    WizardWorld world;
    std::ofstream(world.drive / "Quillon2.bin") << "a card";
    auto dialog = world.makeDialog();  // the default PIN and key
    const QString existing =
        titled(QMessageBox::Warning, "Warning: a secure container already exists on this device. Continue?");
    const QString pinWarning = titled(QMessageBox::Warning, "Warning: you should change the default PIN. Continue?");
    const QString keyWarning =
        titled(QMessageBox::Warning, "Warning: you should change the default admin key. Continue?");
    for (int yeses = 0; yeses <= 3; ++yeses) {
      world.boxes.shown.clear();
      for (int i = 0; i < yeses; ++i) world.boxes.answers.push_back(QMessageBox::Yes);
      if (yeses < 3) world.boxes.answers.push_back(QMessageBox::No);
      world.initialize(*dialog);
      const QStringList expected = QStringList({existing, pinWarning, keyWarning}).mid(0, yeses + 1);
      if (yeses < 3) {
        QCOMPARE(boxes(world.boxes), expected);
        QVERIFY(world.created().empty());
      } else {
        QCOMPARE(boxes(world.boxes).mid(0, 3), expected);
      }
    }
    QCOMPARE(world.created().size(), std::size_t{1});
    // A directory named like the container is no container.
    std::filesystem::remove(world.drive / "Quillon2.bin");
    std::filesystem::create_directory(world.drive / "Quillon2.bin");
    world.boxes.shown.clear();
    fill(*dialog, "2468", kKey, kSerial);
    world.initialize(*dialog);
    QCOMPARE(world.boxes.shown.size(), std::size_t{1});
    QCOMPARE(world.boxes.shown[0].caption, QString("Success"));
  }

  void theCreationGetsWhatWasTypedAndItsOutcomeIsShown() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    // A lower-case serial cannot be typed (the field upper-cases it): what the
    // field shows is what the card gets.
    fill(*dialog, "1234567890123456", QString(kKey).toLower(), QString(kSerial).toLower());
    world.initialize(*dialog);
    const auto created = world.created();
    QCOMPARE(created.size(), std::size_t{1});
    QCOMPARE(created[0].pin, std::string("1234567890123456"));
    QCOMPARE(created[0].serial, std::string(kSerial));
    QCOMPARE(created[0].drive, world.drive.string());
    QCOMPARE(toHex(Bytes(created[0].adminKey.begin(), created[0].adminKey.end())), std::string(kKey));
    // Without the manager only congratulations, and the note about 16-digit PINs.
    QCOMPARE(world.boxes.shown.size(), std::size_t{1});
    QCOMPARE(world.boxes.shown[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(world.boxes.shown[0].text.startsWith(
        "Congratulations! Your GIDS card has been successfully initialised.\n\nNote: OpenSC"));

    // With the manager installed: offered, and started on Yes only.
    world.managerInstalled = true;
    fill(*dialog, "2468", kKey, kSerial);
    for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
      world.boxes.shown.clear();
      world.boxes.answers = {answer};
      world.initialize(*dialog);
      QCOMPARE(world.boxes.shown.size(), std::size_t{1});
      QCOMPARE(world.boxes.shown[0].text, QString("Congratulations! Your GIDS card has been successfully "
                                                  "initialised.\n\nWould you like to launch the Smart Card manager?"));
      QCOMPARE(world.boxes.shown[0].buttons, QMessageBox::Yes | QMessageBox::No);
      QCOMPARE(world.boxes.shown[0].icon, QMessageBox::Information);
    }
    QCOMPARE(world.managerLaunches, 1);

    // A failure: its code and text in a box captioned "Error", after what the
    // reader step says.
    world.boxes.shown.clear();
    world.formatResult = {status::ERROR_ACCESS_DENIED, ReaderStep::kCreate};
    world.initialize(*dialog);
    QCOMPARE(boxes(world.boxes),
             QStringList{
                 QString("Error|%1|0x00000005 - Access is denied.").arg(static_cast<int>(QMessageBox::Information))});
    world.boxes.shown.clear();
    world.formatResult = {status::SCARD_E_NO_READERS_AVAILABLE, ReaderStep::kFindReader};
    world.initialize(*dialog);
    QCOMPARE(world.boxes.shown.size(), std::size_t{1});
    QVERIFY(world.boxes.shown[0].text.startsWith("The Brindleworth virtual reader was not found.\n\n0x8010002E - "));
  }

  void clearIsConfirmedAndReportsFailures() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    const QString drive = QString::fromStdString(world.drive.string());
    world.boxes.answers = {QMessageBox::No};
    QTest::mouseClick(control<QPushButton>(*dialog, "clear"), Qt::LeftButton);
    QVERIFY(world.cleared.empty());
    QCOMPARE(world.boxes.shown.size(), std::size_t{1});
    QVERIFY(world.boxes.shown[0].text.startsWith("Clear the card on " + drive + "?"));
    QVERIFY(world.boxes.shown[0].text.contains("keys"));
    QCOMPARE(world.boxes.shown[0].buttons, QMessageBox::Yes | QMessageBox::No);

    struct Row {
      std::uint32_t status;
      ReaderStep step;
      bool deleted;
      QString box;  // empty: none
    };
    const Row rows[] = {
        {0, ReaderStep::kNone, true, ""},
        {0, ReaderStep::kNone, false, ""},  // no container: only traced
        {status::SCARD_E_NO_READERS_AVAILABLE, ReaderStep::kFindReader, false,
         titled(QMessageBox::Critical, "The Brindleworth virtual reader was not found.")},
        {status::ERROR_ACCESS_DENIED, ReaderStep::kDelete, false,
         QString("Error|%1|0x00000005 - Access is denied.").arg(static_cast<int>(QMessageBox::Information))},
        {status::SCARD_E_NO_SERVICE, ReaderStep::kEstablishContext, false,
         titled(QMessageBox::Critical, "The smart-card service (pcscd) is not running.")},
    };
    for (const Row& row : rows) {
      world.boxes.shown.clear();
      world.boxes.answers = {QMessageBox::Yes};
      world.clearResult = ClearResult{row.status, row.step, row.deleted, {}};
      QTest::mouseClick(control<QPushButton>(*dialog, "clear"), Qt::LeftButton);
      QCOMPARE(world.cleared.back(), world.drive.string());
      QCOMPARE(boxes(world.boxes).mid(1), row.box.isEmpty() ? QStringList() : QStringList{row.box});
    }
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::RequestTest)
#include "RequestTest.moc"

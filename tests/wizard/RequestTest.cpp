// "Initialize card" and "Clear the card" as the user meets them: the request's
// checks in their order, the warnings' Yes and No, what the card creation is
// given, the outcome boxes, and Clear's confirmation and boxes.
#include <QTest>
#include <fstream>

#include "WizardKit.h"
#include "base/Status.h"

namespace quillon::test {

using wizard::WizardDialog;

namespace {

constexpr const char* kKey = "00112233445566778899AABBCCDDEEFF0011223344556677";
constexpr const char* kSerial = "0123456789ABCDEF0123456789ABCDEF";

void fill(WizardDialog& dialog, const QString& pin, const QString& key, const QString& serial) {
  control<QLineEdit>(dialog, "pin")->setText(pin);
  control<QLineEdit>(dialog, "adminKey")->setText(key);
  control<QLineEdit>(dialog, "serial")->setText(serial);
}

// caption|icon|text of every box shown since the last call.
QStringList boxes(ScriptedBoxes& scripted) {
  QStringList list;
  for (const desktop::BoxContent& box : scripted.takeShown())
    list << QString("%1|%2|%3").arg(box.caption).arg(static_cast<int>(box.icon)).arg(box.text);
  return list;
}
QString titled(QMessageBox::Icon icon, const char* text) {
  return QString("%1|%2|%3").arg(WizardDialog::kTitle).arg(static_cast<int>(icon)).arg(text);
}
const QString kAccessDenied =
    QString("Error|%1|0x00000005 - Access is denied.").arg(static_cast<int>(QMessageBox::Information));

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
    QTest::newRow("PIN before key") << QString() << QString() << QString()
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
    QCOMPARE(world.created.size(), std::size_t{0});
  }

  void warningsAnsweredNoStopAndYesGoOn() {
    WizardWorld world;
    std::ofstream(world.drive / "Quillon2.bin") << "a card";
    auto dialog = world.makeDialog();  // the default PIN and key
    const QStringList warnings = {
        titled(QMessageBox::Warning, "Warning: a secure container already exists on this device. Continue?"),
        titled(QMessageBox::Warning, "Warning: you should change the default PIN. Continue?"),
        titled(QMessageBox::Warning, "Warning: you should change the default admin key. Continue?")};
    for (int yeses = 0; yeses < 3; ++yeses) {
      world.boxes.answers.assign(yeses, QMessageBox::Yes);
      world.boxes.answers.push_back(QMessageBox::No);
      world.initialize(*dialog);
      QCOMPARE(boxes(world.boxes), warnings.mid(0, yeses + 1));
    }
    world.boxes.answers.assign(3, QMessageBox::Yes);
    world.initialize(*dialog);
    QCOMPARE(boxes(world.boxes).mid(0, 3), warnings);
    QCOMPARE(world.created.size(), std::size_t{1});  // none for the answers No
  }

  void theCreationGetsWhatWasTypedAndItsOutcomeIsShown() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    fill(*dialog, "1234567890123456", QString(kKey).toLower(), QString(kSerial).toLower());
    world.initialize(*dialog);
    // The fields upper-case what is typed: the card gets what they show.
    QCOMPARE(world.created, std::vector<std::string>{"1234567890123456|" + std::string(kKey) + "|" + kSerial + "|" +
                                                     world.drive.string()});
    // Without the manager only congratulations, with the note about 16-digit PINs.
    const QString congratulations = "Success|1|Congratulations! Your GIDS card has been successfully initialised.";
    QVERIFY(boxes(world.boxes).at(0).startsWith(congratulations + "\n\nNote: OpenSC"));

    // With the manager installed: offered, and started on Yes only.
    world.managerInstalled = true;
    fill(*dialog, "2468", kKey, kSerial);
    for (auto answer : {QMessageBox::No, QMessageBox::Yes}) {
      world.boxes.answers = {answer};
      world.initialize(*dialog);
      QCOMPARE(boxes(world.boxes),
               QStringList{congratulations + "\n\nWould you like to launch the Smart Card manager?"});
    }
    QCOMPARE(world.managerLaunches, 1);

    // A failure: its code and text in a box captioned "Error".
    world.formatResult = {status::ERROR_ACCESS_DENIED, ReaderStep::kCreate};
    world.initialize(*dialog);
    QCOMPARE(boxes(world.boxes), QStringList{kAccessDenied});
  }

  void clearIsConfirmedAndReportsFailures() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    world.boxes.answers = {QMessageBox::No};
    QTest::mouseClick(control<QPushButton>(*dialog, "clear"), Qt::LeftButton);
    QVERIFY(world.cleared.empty());
    QVERIFY(world.boxes.takeShown().at(0).text.startsWith(
        QString::fromStdString("Clear the card on " + world.drive.string() + "?")));

    const std::pair<ClearResult, QString> rows[] = {
        {{0, ReaderStep::kNone, true, {}}, ""},  // done: no box
        {{status::SCARD_E_NO_READERS_AVAILABLE, ReaderStep::kFindReader, false, {}},
         titled(QMessageBox::Critical, "The Brindleworth virtual reader was not found.")},
        {{status::ERROR_ACCESS_DENIED, ReaderStep::kDelete, false, {}}, kAccessDenied},
        {{status::SCARD_E_NO_SERVICE, ReaderStep::kEstablishContext, false, {}},
         titled(QMessageBox::Critical, "The smart-card service (pcscd) is not running.")},
    };
    for (const auto& [result, box] : rows) {
      world.boxes.answers = {QMessageBox::Yes};
      world.clearResult = result;
      QTest::mouseClick(control<QPushButton>(*dialog, "clear"), Qt::LeftButton);
      QCOMPARE(world.cleared.back(), world.drive.string());
      QCOMPARE(boxes(world.boxes).mid(1), box.isEmpty() ? QStringList() : QStringList{box});
    }
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::RequestTest)
#include "RequestTest.moc"

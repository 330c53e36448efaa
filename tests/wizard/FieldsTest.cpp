// The dialog's fields: how typing and pasting are cleaned, and the light red of
// incomplete fields.
#include <QTest>

#include "WizardKit.h"
#include "desktop/FieldRules.h"

namespace quillon::test {

namespace {
bool marked(QLineEdit* field) { return field->palette().color(QPalette::Base) == QColor(255, 200, 200); }
}  // namespace

class FieldsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  // Typing goes through the rules of the table below: a letter typed into the PIN
  // goes at once, lower case is upper-cased as typed, a paste is cleaned
  // with the caret at its end, and short fields are marked.
  void typingIsCleanedAndShortFieldsMarked() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    dialog->show();
    auto* pin = control<QLineEdit>(*dialog, "pin");
    auto* key = control<QLineEdit>(*dialog, "adminKey");
    auto* serial = control<QLineEdit>(*dialog, "serial");
    QVERIFY(!marked(pin) && !marked(key) && !marked(serial));
    pin->setText("123");
    pin->setCursorPosition(2);
    QTest::keyClicks(pin, "x");
    QCOMPARE(pin->text(), QString("123"));
    QVERIFY(marked(pin));
    QTest::keyClick(pin, Qt::Key_End);
    QTest::keyClicks(pin, "4");
    QVERIFY(!marked(pin));

    key->selectAll();
    key->insert("00 11-22:zz" + QString(30, 'a'));  // as a paste arrives
    QCOMPARE(key->text(), "001122" + QString(30, 'A'));
    QCOMPARE(key->cursorPosition(), 36);
    QVERIFY(marked(key));
    QTest::keyClicks(key, QString(12, 'e'));
    QVERIFY(!marked(key));
    serial->setText("00112233445566778899AABBCCDDEEF");
    QVERIFY(marked(serial));
    QTest::mouseClick(control<QPushButton>(*dialog, "generate"), Qt::LeftButton);
    QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(serial->text()).hasMatch());
  }

  // The dialog as a user first meets it, over a stick at a fixed place and with a
  // fixed serial number, so that the picture changes only when the dialog does.
  void picture() {
    WizardWorld world(false);
    world.tree.addUsbStick(SysfsTree::Stick{});
    world.tree.mount(8, 17, "/media/alice/STICK");
    auto dialog = world.makeDialog();
    control<QLineEdit>(*dialog, "serial")->setText("5E1F03A7C2D94B6E8A0F17C3D5B29E48");
    QCOMPARE(control<QComboBox>(*dialog, "drive")->count(), 1);
    QVERIFY(drawPicture(*dialog));
    QVERIFY(world.boxes.shown.empty());
  }

  void cleaningRules_data() {
    QTest::addColumn<bool>("pin");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("cleaned");  // null: unchanged
    QTest::addColumn<bool>("complete");
    QTest::newRow("pin of 4") << true << "1234" << QString() << true;
    QTest::newRow("pin of 3") << true << "123" << QString() << false;
    QTest::newRow("pin of 16") << true << "1234567890123456" << QString() << true;
    QTest::newRow("pin letters and blanks") << true << " 1a2-3b4 "
                                            << "1234" << true;
    QTest::newRow("pin past 16 digits") << true << "12345678901234567"
                                        << "1234567890123456" << true;
    QTest::newRow("pin non-ASCII digit") << true << QString::fromUtf8("12\u0663\u0664") << "12" << false;
    QTest::newRow("key 47") << false << QString(47, 'F') << QString() << false;
    QTest::newRow("key cut at 48") << false << QString(50, '9') << QString(48, '9') << true;
    QTest::newRow("key G and blanks") << false << "0G 1"
                                      << "01" << false;
  }
  void cleaningRules() {
    QFETCH(bool, pin);
    QFETCH(QString, typed);
    QFETCH(QString, cleaned);
    QFETCH(bool, complete);
    const desktop::FieldCheck check = pin ? desktop::SanitizePinField(typed) : desktop::SanitizeAdminKeyField(typed);
    QCOMPARE(check.changed, !cleaned.isNull());
    if (!cleaned.isNull()) QCOMPARE(check.text, cleaned);
    QCOMPARE(check.complete, complete);
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::FieldsTest)
#include "FieldsTest.moc"

// The dialog's fields: what it starts with, how typing and pasting are cleaned,
// and the light red of incomplete fields.
#include <QLabel>
#include <QTest>

#include "WizardKit.h"
#include "desktop/FieldRules.h"
#include "support/CapturingSink.h"
#include "wizard/Banner.h"

namespace quillon::test {

using wizard::WizardDialog;

namespace {
const QColor kIncomplete(255, 200, 200);

bool marked(QLineEdit* field) { return field->palette().color(QPalette::Base) == kIncomplete; }

QString plain(QString text) { return text.remove('&'); }
}  // namespace

class FieldsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void startsWithTheDefaultsInTheirOrder() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    QCOMPARE(dialog->windowTitle(), QString(WizardDialog::kTitle));
    QVERIFY(!dialog->windowIcon().isNull());
    auto* banner = dialog->findChild<wizard::Banner*>();
    QVERIFY(banner != nullptr && banner->hasPicture());
    QCOMPARE(banner->title(), QString(WizardDialog::kTitle));

    auto* pin = control<QLineEdit>(*dialog, "pin");
    auto* key = control<QLineEdit>(*dialog, "adminKey");
    auto* serial = control<QLineEdit>(*dialog, "serial");
    QCOMPARE(pin->text(), QString("7931"));
    QCOMPARE(key->text(), QString("3C9E51A07B2D84F6E1058C3A9D7B26F40E8A15C7D3B96F21"));
    QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(serial->text()).hasMatch());
    QCOMPARE(pin->maxLength(), 16);
    QCOMPARE(key->maxLength(), 48);
    QCOMPARE(serial->maxLength(), 32);
    QVERIFY(!marked(pin) && !marked(key) && !marked(serial));
    QVERIFY(control<QPushButton>(*dialog, "initialize")->isDefault());

    // Tab order, and every field reachable through its label's mnemonic.
    const char* order[] = {"drive", "clear", "pin", "adminKey", "serial", "generate", "initialize", "cancel"};
    QWidget* widget = dialog->findChild<QWidget*>(order[0]);
    for (std::size_t i = 1; i < std::size(order); ++i) {
      widget = widget->nextInFocusChain();
      while (widget->focusPolicy() == Qt::NoFocus || !widget->isEnabled()) widget = widget->nextInFocusChain();
      QCOMPARE(widget->objectName(), QString(order[i]));
    }
    QStringList buddies;
    for (QLabel* label : dialog->findChildren<QLabel*>())
      if (label->buddy() != nullptr) buddies << plain(label->text()) + "=" + label->buddy()->objectName();
    buddies.sort();
    QCOMPARE(buddies, QStringList({"Admin Key:=adminKey", "Drive:=drive", "PIN:=pin", "Serial number:=serial"}));
    QStringList words;
    for (QLabel* label : dialog->findChildren<QLabel*>()) words << plain(label->text());
    QVERIFY(words.contains("The PIN must be between 4 and 16 characters long. It can include digits only."));
    QCOMPARE(plain(control<QPushButton>(*dialog, "clear")->text()), QString("Clear the card"));
    QCOMPARE(plain(control<QPushButton>(*dialog, "initialize")->text()), QString("Initialize card"));
  }

  void pinKeepsItsDigitsAndTurnsRedWhenShort() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    dialog->show();
    auto* pin = control<QLineEdit>(*dialog, "pin");
    TraceCapture capture(trace::kWarning);

    // A letter typed between digits goes at once; the caret moves to the end.
    pin->setText("12345");
    pin->setCursorPosition(2);
    QTest::keyClicks(pin, "x");
    QCOMPARE(pin->text(), QString("12345"));
    QCOMPARE(pin->cursorPosition(), 5);
    QCOMPARE(capture.sink().count("SanitizePinField: non-digit characters removed from PIN field"), 1u);

    // Three digits left: incomplete; a fourth: the default colours again.
    pin->setText("7931");
    QTest::keyClick(pin, Qt::Key_End);
    QTest::keyClick(pin, Qt::Key_Backspace);
    QCOMPARE(pin->text(), QString("793"));
    QVERIFY(marked(pin));
    QTest::keyClicks(pin, "1");
    QVERIFY(!marked(pin));
    pin->setText("1234567890123456");
    QVERIFY(!marked(pin));
    pin->clear();
    QVERIFY(marked(pin));
  }

  // Typing goes through the same cleaning as the table below: lower case is
  // upper-cased as typed, a paste is cleaned at once with the caret at its end.
  void keyAndSerialAreUpperCasedAndTheKeyCleaned() {
    WizardWorld world;
    auto dialog = world.makeDialog();
    dialog->show();
    auto* key = control<QLineEdit>(*dialog, "adminKey");
    auto* serial = control<QLineEdit>(*dialog, "serial");
    key->clear();
    QTest::keyClicks(key, "0a1b2c");
    QCOMPARE(key->text(), QString("0A1B2C"));
    key->selectAll();
    key->insert("00 11-22:zz" + QString(30, '3'));  // as a paste arrives
    QCOMPARE(key->text(), "001122" + QString(30, '3'));
    QCOMPARE(key->cursorPosition(), 36);
    QVERIFY(marked(key));
    QTest::keyClicks(key, QString(12, 'e'));
    QVERIFY(!marked(key));

    serial->clear();
    QTest::keyClicks(serial, "00112233445566778899aabbccddeef");
    QCOMPARE(serial->text(), QString("00112233445566778899AABBCCDDEEF"));
    QVERIFY(marked(serial));
    QTest::keyClicks(serial, "f");
    QVERIFY(!marked(serial));
    QTest::mouseClick(control<QPushButton>(*dialog, "generate"), Qt::LeftButton);
    QVERIFY(serial->text() != "00112233445566778899AABBCCDDEEFF");
    QCOMPARE(serial->text().size(), 32);
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
    QTest::newRow("key lower case") << false << QString(48, 'a') << QString(48, 'A') << true;
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

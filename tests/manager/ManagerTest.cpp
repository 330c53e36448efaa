// The manager's window over a fake card source: what it shows and how it follows
// a card coming and going, each operation's dialog checking its input and the
// card's answers reported.
#include <QLabel>
#include <QTreeWidget>
#include <mutex>
#include <thread>

#include "../wizard/WizardKit.h"
#include "manager/ManagerWindow.h"
#include "support/SysfsTree.h"

namespace quillon::test {

using cardops::Outcome;
using cardops::Result;
using manager::CardState;
using manager::ManagerWindow;
using manager::SecretDialog;
using manager::SecretRequest;

namespace {

constexpr const char* kKey = "00112233445566778899AABBCCDDEEFF0011223344556677";

// A card that answers what the test says and records what it was asked (read
// once the operation was reported).
class FakeCardSource final : public manager::CardSource {
 public:
  CardState read() override {
    std::lock_guard lock(mutex_);
    return state;
  }
  Result changePin(const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin) override {
    return record("change-pin " + text(oldPin) + " " + text(newPin));
  }
  Result unblockPin(const ossl::SecureBytes& key, const ossl::SecureBytes& newPin) override {
    return record("unblock-pin " + std::to_string(key.size()) + ":" + std::to_string(key[23]) + " " + text(newPin));
  }
  Result changeAdminKey(const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey) override {
    return record("change-admin-key " + std::to_string(oldKey[0]) + " " + std::to_string(newKey[0]));
  }
  Result eject() override { return record("eject"); }
  Result insert(const std::string& drive) override { return record("insert " + drive); }
  void set(const CardState& next) {
    std::unique_lock lock(mutex_);
    state = next;
    lock.unlock();
    Q_EMIT changed();
  }

  CardState state;
  Result answer;  // what every operation answers
  std::vector<std::string> calls;

 private:
  static std::string text(const ossl::SecureBytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
  Result record(std::string call) {
    calls.push_back(std::move(call));
    return answer;
  }
  std::mutex mutex_;
};

CardState cardInReader() {
  CardState state;
  state.reader = {true, true, "Brindleworth Virtual Reader 00 00", "/sys/devices/x/block/sdb/sdb1", 0};
  state.infoRead = true;
  state.info.serial = "00112233445566778899AABBCCDDEEFF";
  state.info.pinTriesLeft = 3;
  state.info.containers = {{"key one", true, true, 0, 2048}, {"", false, false, 0, 0}};
  state.info.certificates = {
      {"kxc00", "CN=Alice", "CN=Alice", "Jan  1 00:00:00 2026 GMT", "Jan  1 00:00:00 2028 GMT", 2048}};
  return state;
}

QString label(ManagerWindow& window, const char* name) { return window.findChild<QLabel*>(name)->text(); }
QPushButton* push(QWidget& window, const char* name) { return window.findChild<QPushButton*>(name); }

// A secret dialog's three fields as a user types them.
struct TypedSecrets {
  QString current, next, again;
};

}  // namespace

class ManagerTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  // Drawn for the documentation (drawPicture) as it first shows the card.
  void showsTheCardAndFollowsItComingAndGoing() {
    SysfsTree tree;
    tree.addUsbStick(SysfsTree::Stick{});
    tree.mount(8, 17, "/media/alice/STICK");
    FakeCardSource source;
    source.state = cardInReader();
    ScriptedBoxes boxes;
    ManagerWindow window(source, boxes, tree.paths());
    QSignalSpy refreshed(&window, &ManagerWindow::refreshed);
    QVERIFY(refreshed.wait(5000));
    QCOMPARE(label(window, "reader"), QString("Brindleworth Virtual Reader 00 00: a card is present"));
    QCOMPARE(label(window, "serial"), QString("Serial number: 00112233445566778899AABBCCDDEEFF"));
    QCOMPARE(label(window, "pin"), QString("PIN: 3 tries left"));
    auto* containers = window.findChild<QTreeWidget*>("containers");
    QCOMPARE(containers->topLevelItemCount(), 1);  // the empty slot is not shown
    QCOMPARE(containers->topLevelItem(0)->text(0), QString("key one"));
    QCOMPARE(containers->topLevelItem(0)->text(3), QString("2048 bits"));
    auto* certificates = window.findChild<QTreeWidget*>("certificates");
    QCOMPARE(certificates->topLevelItemCount(), 1);
    QCOMPARE(certificates->topLevelItem(0)->text(1), QString("CN=Alice"));
    QVERIFY(push(window, "changePin")->isEnabled() && push(window, "eject")->isEnabled());
    window.resize(window.sizeHint().expandedTo(QSize(720, 420)));
    QVERIFY(drawPicture(window));

    // The card goes, from another thread as the status watcher reports it.
    CardState gone = source.state;
    gone.reader.cardPresent = false;
    gone.infoRead = false;
    std::thread([&] { source.set(gone); }).join();
    QVERIFY(refreshed.wait(5000));
    QCOMPARE(label(window, "reader"), QString("Brindleworth Virtual Reader 00 00: no card"));
    QVERIFY(label(window, "serial").isEmpty());
    QCOMPARE(containers->topLevelItemCount(), 0);
    QVERIFY(!push(window, "changePin")->isEnabled() && !push(window, "eject")->isEnabled());

    // A blocked PIN: unblocking only. A blank card: none of the secret operations.
    CardState blocked = cardInReader();
    blocked.info.pinBlocked = true;
    blocked.info.pinTriesLeft = 0;
    source.set(blocked);
    QVERIFY(refreshed.wait(5000));
    QCOMPARE(label(window, "pin"), QString("PIN: blocked; unblock it with the administrator key."));
    QVERIFY(!push(window, "changePin")->isEnabled() && push(window, "unblockPin")->isEnabled());
    CardState blank = cardInReader();
    blank.info.initialisationPhase = true;
    source.set(blank);
    QVERIFY(refreshed.wait(5000));
    QVERIFY(!push(window, "unblockPin")->isEnabled() && push(window, "eject")->isEnabled());
  }

  void eachOperationChecksItsInputAndReportsTheCardsAnswer() {
    SysfsTree tree;
    tree.addUsbStick(SysfsTree::Stick{});
    const std::string drive = (tree.root() / "media" / "STICK").string();
    tree.mount(8, 17, drive);
    FakeCardSource source;
    source.state = cardInReader();
    ScriptedBoxes boxes;
    TypedSecrets typed;
    ManagerWindow window(source, boxes, tree.paths(), [&](const SecretRequest& request, QWidget* owner) {
      auto dialog = std::make_unique<SecretDialog>(request, boxes, owner);
      QTest::keyClicks(dialog->findChild<QLineEdit*>("current"), typed.current);
      QTest::keyClicks(dialog->findChild<QLineEdit*>("next"), typed.next);
      QTest::keyClicks(dialog->findChild<QLineEdit*>("again"), typed.again);
      QTest::mouseClick(push(*dialog, "ok"), Qt::LeftButton);
      return dialog->result() == QDialog::Accepted ? std::move(dialog) : nullptr;
    });
    QSignalSpy refreshed(&window, &ManagerWindow::refreshed);
    QSignalSpy reported(&window, &ManagerWindow::operationReported);
    QVERIFY(refreshed.wait(5000));

    // Refused in the dialog: nothing reaches the card.
    typed = {"1234", "56", "56"};
    QTest::mouseClick(push(window, "changePin"), Qt::LeftButton);
    typed = {"1234", "5678", "5679"};
    QTest::mouseClick(push(window, "changePin"), Qt::LeftButton);
    QCOMPARE(boxes.texts(),
             QStringList({"The PIN must be between 4 and 16 digits long.", "The new PINs do not match."}));
    QVERIFY(source.calls.empty());

    // Accepted: the card's answers reported.
    struct Row {
      const char* button;
      TypedSecrets secrets;
      Result answer;
      std::string call;
      QString box;
    };
    const Row rows[] = {
        {"changePin", {"1234", "5678", "5678"}, {}, "change-pin 1234 5678", "The PIN was changed."},
        {"unblockPin",
         {QString(kKey).toLower(), "24682468", "24682468"},
         {},
         "unblock-pin 24:119 24682468",
         "The PIN was unblocked and set anew; its tries are full again."},
        {"changeAdminKey",
         {kKey, "FF" + QString(kKey).mid(2), "FF" + QString(kKey).mid(2)},
         {Outcome::kFailed, "The card did not take the new key.", -1},
         "change-admin-key 0 255",
         "The card did not take the new key."},
        {"eject", {}, {}, "eject", "The reader let go of the card. Nothing was deleted."},
        {"insert",
         {},
         {Outcome::kNoCard, "The Brindleworth virtual reader was not found.", -1},
         "insert " + drive,
         "The Brindleworth virtual reader was not found."},
    };
    for (const Row& row : rows) {
      boxes.shown.clear();
      typed = row.secrets;
      source.answer = row.answer;
      QTest::mouseClick(push(window, row.button), Qt::LeftButton);
      QVERIFY(reported.wait(5000));
      QCOMPARE(source.calls.back(), row.call);
      QCOMPARE(boxes.texts(), QStringList{row.box});
      QCOMPARE(boxes.shown[0].icon,
               row.answer.outcome == Outcome::kDone ? QMessageBox::Information : QMessageBox::Critical);
      QTRY_VERIFY(push(window, "eject")->isEnabled());
    }
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::ManagerTest)
#include "ManagerTest.moc"

// The quillon-wizard program from outside: help, version and the decryption tool
// without a display; no arguments (and the desktop entry's command) show the dialog.
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "personalise/CreateSecureContainer.h"

namespace quillon::test {

namespace {

// No display of any kind: whatever needs one fails.
QProcessEnvironment headless() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  return env;
}

struct Run {
  int exitCode = -1;
  QString out, err;
};

Run run(const QStringList& arguments, const QString& cwd = {}) {
  QProcess process;
  process.setProcessEnvironment(headless());
  if (!cwd.isEmpty()) process.setWorkingDirectory(cwd);
  process.start(QUILLON_WIZARD, arguments);
  Run result;
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return result;
  result.exitCode = process.exitCode();
  result.out = QString::fromUtf8(process.readAllStandardOutput());
  result.err = QString::fromUtf8(process.readAllStandardError());
  return result;
}

// Starts `program` with `arguments` offscreen and waits until the dialog traced
// its start; true when it did and is still running then.
bool showsTheDialog(const QString& program, const QStringList& arguments) {
  QProcess process;
  QProcessEnvironment env = headless();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("QUILLON_TRACE", "5");
  process.setProcessEnvironment(env);
  process.start(program, arguments);
  QString err;
  for (int i = 0; i < 200 && !err.contains("WndProc: WM_INITDIALOG"); ++i) {
    process.waitForReadyRead(100);
    err += QString::fromUtf8(process.readAllStandardError());
  }
  QTest::qWait(200);
  const bool shown = err.contains("_tWinMain: launching GUI") && err.contains("WndProc: WM_INITDIALOG") &&
                     process.state() == QProcess::Running;
  process.kill();
  process.waitForFinished();
  return shown;
}

}  // namespace

class ProgramTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void helpAndVersionNeedNoDisplay() {
    Run r = run({"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.startsWith("Usage: quillon-wizard\n"));
    QVERIFY(r.out.contains("/decrypt"));
    r = run({"--version"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(QRegularExpression("^quillon-wizard \\d+\\.\\d+\\.\\d+\n$").match(r.out).hasMatch());
  }

  void decryptNeedsNoDisplayAndExitsZeroOrOne() {
    QTemporaryDir drive, work;
    const DeviceIdentity identity{"ACME", "Pocket Drive", "1.00", "SN0001"};
    const std::uint8_t key[24] = {1, 2, 3};
    QCOMPARE(
        CreateSecureContainer("2468", key, "00112233445566778899AABBCCDDEEFF", drive.path().toStdString(), &identity),
        0u);
    // The switch in any case; a further argument is ignored.
    Run r =
        run({"/DeCrYpT", "--dir", drive.path(), "--identity", "ACME:Pocket Drive:1.00:SN0001", "extra"}, work.path());
    QCOMPARE(r.exitCode, 0);
    std::ifstream xml(work.filePath("Quillon.decrypted.xml.txt").toStdString());
    std::string first;
    std::getline(xml, first);
    QVERIFY(first.rfind("<?xml", 0) == 0);

    r = run({"/decrypt", "--dir", drive.path(), "--identity", "ACME:Pocket Drive:1.00:SN0002"}, work.path());
    QCOMPARE(r.exitCode, 1);
    QVERIFY(!r.err.isEmpty());
    r = run({"/decrypt", "--dir", drive.path()}, work.path());  // no identity
    QCOMPARE(r.exitCode, 1);
    r = run({"/decrypt", work.filePath("missing")}, work.path());
    QCOMPARE(r.exitCode, 1);
  }

  void noArgumentsAndTheDesktopEntryShowTheDialog() {
    std::ifstream entry(QUILLON_DESKTOP_ENTRY);
    std::string line, exec;
    while (std::getline(entry, line))
      if (line.rfind("Exec=", 0) == 0) exec = line.substr(5);
    QStringList command = QString::fromStdString(exec).split(' ', Qt::SkipEmptyParts);
    QVERIFY(!command.isEmpty());
    QCOMPARE(command.takeFirst(), QString("quillon-wizard"));  // found on PATH once installed
    QVERIFY(showsTheDialog(QUILLON_WIZARD, command));
    QVERIFY(showsTheDialog(QUILLON_WIZARD, {"/decrypt"}));  // without a drive: the dialog
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::ProgramTest)
#include "ProgramTest.moc"

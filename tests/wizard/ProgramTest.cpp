// The quillon-wizard program from outside: help and the decryption tool without a
// display.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>

#include "personalise/CreateSecureContainer.h"

namespace quillon::test {

namespace {

struct Run {
  int exitCode = -1;
  QString out;
};

Run run(const QStringList& arguments, const QString& cwd = {}) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);  // no display at all
  process.setProcessEnvironment(env);
  if (!cwd.isEmpty()) process.setWorkingDirectory(cwd);
  process.start(QUILLON_WIZARD, arguments);
  Run result;
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return result;
  result.exitCode = process.exitCode();
  result.out = QString::fromUtf8(process.readAllStandardOutput());
  return result;
}

}  // namespace

class ProgramTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void helpAndDecryptNeedNoDisplay() {
    Run r = run({"--help"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.startsWith("Usage: quillon-wizard\n"));
    QTemporaryDir drive, work;
    const DeviceIdentity identity{"ACME", "Pocket Drive", "1.00", "SN0001"};
    const std::uint8_t key[24] = {1, 2, 3};
    QCOMPARE(
        CreateSecureContainer("2468", key, "00112233445566778899AABBCCDDEEFF", drive.path().toStdString(), &identity),
        0u);
    // The switch in any case; a further argument is ignored.
    r = run({"/DeCrYpT", "--dir", drive.path(), "--identity", "ACME:Pocket Drive:1.00:SN0001", "extra"}, work.path());
    QCOMPARE(r.exitCode, 0);
    std::ifstream xml(work.filePath("Quillon.decrypted.xml.txt").toStdString());
    std::string first;
    std::getline(xml, first);
    QVERIFY(first.rfind("<?xml", 0) == 0);
    r = run({"/decrypt", "--dir", drive.path(), "--identity", "ACME:Pocket Drive:1.00:SN0002"}, work.path());
    QCOMPARE(r.exitCode, 1);
  }
};

}  // namespace quillon::test

QTEST_MAIN(quillon::test::ProgramTest)
#include "ProgramTest.moc"

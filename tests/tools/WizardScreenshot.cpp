// wizard_screenshot FILE.png: the wizard's dialog as a user first meets it, drawn
// on Qt's offscreen platform and saved for the documentation. The machine is a
// fixture tree with one USB stick mounted at /media/alice/STICK; no reader is
// needed, as the card services stand in. Exit status 0 when the picture was
// saved, 1 when the dialog did not list the stick, showed a box or the file
// could not be written, 2 for a wrong command line.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <cstdio>
#include <string>

#include "support/SysfsTree.h"
#include "wizard/WizardDialog.h"

namespace {

using namespace quillon;

// The dialog shows no box before it is used; one shown is a fault in the picture's making.
class NoBoxes final : public desktop::MessageBoxes {
 public:
  QMessageBox::StandardButton show(QWidget*, const desktop::BoxContent& box) override {
    std::fprintf(stderr, "wizard_screenshot: the dialog showed a box: %s\n", qPrintable(box.text));
    shown = true;
    return QMessageBox::Cancel;
  }
  bool shown = false;
};

// A fixed serial number, so that the picture changes only when the dialog does.
constexpr const char* kSerial = "5E1F03A7C2D94B6E8A0F17C3D5B29E48";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: wizard_screenshot FILE.png\n");
    return 2;
  }
  const QString file = QString::fromLocal8Bit(argv[1]);
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);

  test::SysfsTree machine("quillon-screenshot-");
  machine.addUsbStick({});  // sdb, its partition 8:17
  machine.mount(8, 17, "/media/alice/STICK");

  NoBoxes boxes;
  wizard::WizardServices services;
  services.paths = machine.paths();
  services.format = [](const FormatRequest&) { return wizard::FormatResult{}; };
  services.clear = [](const std::string&) { return ClearResult{}; };
  services.boxes = &boxes;
  services.managerAvailable = [] { return false; };
  services.launchManager = [] { return false; };
  wizard::WizardDialog dialog(std::move(services));
  if (auto* serial = dialog.findChild<QLineEdit*>("serial")) serial->setText(kSerial);
  const auto* drives = dialog.findChild<QComboBox*>("drive");
  if (drives == nullptr || drives->count() != 1) {
    std::fprintf(stderr, "wizard_screenshot: the dialog does not list the fixture stick\n");
    return 1;
  }

  dialog.show();
  for (int round = 0; round < 5; ++round) QApplication::processEvents();  // laid out and polished
  const QPixmap picture = dialog.grab();
  if (!picture.save(file, "PNG")) {
    std::fprintf(stderr, "wizard_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %dx%d\n", argv[1], picture.width(), picture.height());
  return boxes.shown ? 1 : 0;
}

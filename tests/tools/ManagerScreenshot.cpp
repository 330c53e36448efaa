// manager_screenshot FILE.png: the smart-card manager's window over a card with
// one key pair and its certificate, drawn on Qt's offscreen platform for the
// documentation. The card is a fixed state; no reader is needed. Exit status 0
// when the picture was saved, 1 when the window did not show the card or the
// file could not be written, 2 for a wrong command line.
#include <QApplication>
#include <QSignalSpy>
#include <cstdio>

#include "manager/ManagerWindow.h"
#include "support/SysfsTree.h"

namespace {

using namespace quillon;

class NoBoxes final : public desktop::MessageBoxes {
 public:
  QMessageBox::StandardButton show(QWidget*, const desktop::BoxContent&) override { return QMessageBox::Cancel; }
};

// A card as it is after a key pair was generated and its certificate written.
class PictureCard final : public manager::CardSource {
 public:
  manager::CardState read() override {
    manager::CardState state;
    state.reader = {true, true, "Brindleworth Virtual Reader 00 00", "", 0};
    state.infoRead = true;
    state.info.serial = "5E1F03A7C2D94B6E8A0F17C3D5B29E48";
    state.info.pinTriesLeft = 3;
    state.info.containers = {{"ad9e1c4b-3f2a-4d8e-9b71-0c5f6e2a8d13", true, true, 0, 2048}};
    state.info.certificates = {{"kxc00", "CN=Alice Example", "CN=Alice Example", "Dec  7 13:00:00 2026 GMT",
                                "Dec  7 13:00:00 2027 GMT", 2048}};
    return state;
  }
  cardops::Result changePin(const ossl::SecureBytes&, const ossl::SecureBytes&) override { return refused(); }
  cardops::Result unblockPin(const ossl::SecureBytes&, const ossl::SecureBytes&) override { return refused(); }
  cardops::Result changeAdminKey(const ossl::SecureBytes&, const ossl::SecureBytes&) override { return refused(); }
  cardops::Result eject() override { return refused(); }
  cardops::Result insert(const std::string&) override { return refused(); }

 private:
  static cardops::Result refused() { return {cardops::Outcome::kFailed, "a picture only", -1}; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: manager_screenshot FILE.png\n");
    return 2;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  test::SysfsTree machine("quillon-screenshot-");
  machine.addUsbStick({});
  machine.mount(8, 17, "/media/alice/STICK");

  NoBoxes boxes;
  PictureCard card;
  manager::ManagerWindow window(card, boxes, machine.paths());
  QSignalSpy refreshed(&window, &manager::ManagerWindow::refreshed);
  if (!refreshed.wait(10000) || !window.state().infoRead) {
    std::fprintf(stderr, "manager_screenshot: the window did not show the card\n");
    return 1;
  }
  window.resize(window.sizeHint().expandedTo(QSize(720, 420)));
  window.show();
  for (int round = 0; round < 5; ++round) QApplication::processEvents();
  const QPixmap picture = window.grab();
  if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "manager_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("%s: %dx%d\n", argv[1], picture.width(), picture.height());
  return 0;
}

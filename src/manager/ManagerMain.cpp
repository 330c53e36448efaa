#include "manager/ManagerMain.h"

#include <QApplication>
#include <cstdio>
#include <exception>
#include <string_view>

#include "base/Trace.h"
#include "desktop/MessageBoxes.h"
#include "manager/ManagerWindow.h"
#include "manager/ReaderCardSource.h"

namespace quillon::manager {

namespace {

constexpr const char* kUsage =
    "Usage: quillon-manager\n"
    "\n"
    "Shows the Quillon Smart Card Manager: the Brindleworth virtual reader and the\n"
    "card it serves (serial number, PIN tries left, key containers, certificates),\n"
    "updated as soon as a card comes or goes, with the card's operations: change\n"
    "the PIN, unblock it with the administrator key, change the administrator key,\n"
    "let the reader eject its card, and have it take up the card of a USB stick.\n"
    "The reader is reached through pcscd.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Tracing: set QUILLON_TRACE (for example QUILLON_TRACE=5).\n"
    "quillon-card does the same jobs from a terminal (info, change-pin, unblock-pin,\n"
    "change-admin-key, eject, insert).\n";

int run(int argc, char** argv) {
  if (argc >= 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::string_view(argv[1]) == "--version") {
    std::printf("quillon-manager %s\n", QUILLON_VERSION);
    return 0;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("quillon-manager");
  QApplication::setApplicationVersion(QUILLON_VERSION);
  const platform::SystemPaths paths = platform::SystemPaths::fromEnvironment();
  desktop::ScreenMessageBoxes boxes;
  ReaderCardSource source(paths);
  ManagerWindow window(source, boxes, paths);
  window.show();
  return QApplication::exec();
}

}  // namespace

int managerMain(int argc, char** argv) {
  const trace::ProviderRegistration tracing;
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-manager: internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillon-manager: internal error\n");
  }
  return 1;
}

}  // namespace quillon::manager

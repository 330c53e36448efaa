#include "wizard/WizardMain.h"

#include <strings.h>

#include <QApplication>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/Trace.h"
#include "personalise/DecryptSecureContainer.h"
#include "personalise/FormatCard.h"
#include "wizard/WizardDialog.h"

namespace quillon::wizard {

using namespace desktop;

namespace {

constexpr const char* kFn = "wWinMain";

constexpr const char* kUsage =
    "Usage: quillon-wizard\n"
    "       quillon-wizard /decrypt DRIVE\n"
    "       quillon-wizard /decrypt --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL\n"
    "\n"
    "Without arguments, shows the Quillon GIDS Card Configuration Wizard: a dialog\n"
    "that creates a GIDS smart card on a removable USB drive (PIN, administrator key,\n"
    "serial number) and has the Brindleworth virtual reader, through pcscd, serve it\n"
    "to every PC/SC program; \"Clear the card\" takes the card away again.\n"
    "\n"
    "/decrypt (in any case) opens the card on DRIVE, the mount point of the USB\n"
    "drive, with the key of its device, and writes its state unencrypted into the\n"
    "current directory: Quillon.decrypted.bin and Quillon.decrypted.xml.txt. Both\n"
    "hold the PIN and the keys in clear, readable by their owner only. With --dir a\n"
    "directory stands in for the drive and the device identity is given. No display\n"
    "is needed. Exit status 0 when both files were written, else 1.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Tracing: set QUILLON_TRACE (for example QUILLON_TRACE=5 or QUILLON_TRACE=4:/tmp/trace.log).\n"
    "quillon-card does the same jobs from a terminal.\n";

// The decryption tool; the target is DRIVE or "--dir DIR --identity V:P:R:S".
int decrypt(int argc, char** argv) {
  std::string drive = argv[2];
  std::optional<DeviceIdentity> identity;
  if (drive == "--dir") {
    DeviceIdentity given;
    std::string reason;
    if (argc < 6 || std::string_view(argv[4]) != "--identity" || !parseIdentity(argv[5], given, &reason)) {
      std::fprintf(stderr, "quillon-wizard: /decrypt --dir DIR needs --identity VENDOR:PRODUCT:REVISION:SERIAL%s%s\n",
                   reason.empty() ? "" : ": ", reason.c_str());
      return 1;
    }
    drive = argv[3];
    identity = given;
  }
  QTRACE(trace::kInformation, kFn, "_tWinMain: CLI decrypt mode, drive=%s", drive.c_str());
  std::string failure;
  const std::uint32_t status = DecryptSecureContainer(drive, identity ? &*identity : nullptr,
                                                      platform::SystemPaths::fromEnvironment(), &failure);
  QTRACE(trace::kVerbose, kFn, "_tWinMain: DecryptSecureContainer returned 0x%08X", status);
  if (status != 0) {
    std::fprintf(stderr, "quillon-wizard: %s\n",
                 failure.empty()
                     ? ("the card on " + drive + " could not be written out: " + statusMessage(status)).c_str()
                     : failure.c_str());
    return 1;
  }
  std::printf("Wrote %s and %s.\n", kDecryptedPayloadFile, kDecryptedXmlFile);
  return 0;
}

int showDialog(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("quillon-wizard");
  QApplication::setApplicationVersion(QUILLON_VERSION);
  QTRACE(trace::kVerbose, kFn, "_tWinMain: launching GUI");
  ScreenMessageBoxes boxes;
  WizardDialog dialog(WizardServices::system(boxes));
  dialog.exec();
  QTRACE(trace::kVerbose, kFn, "_tWinMain: end");
  return 0;
}

int run(int argc, char** argv) {
  QTRACE(trace::kVerbose, kFn, "_tWinMain: start");
  if (argc >= 3 && ::strcasecmp(argv[1], "/decrypt") == 0) return decrypt(argc, argv);
  if (argc >= 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc >= 2 && std::string_view(argv[1]) == "--version") {
    std::printf("quillon-wizard %s\n", QUILLON_VERSION);
    return 0;
  }
  return showDialog(argc, argv);
}

}  // namespace

int wizardMain(int argc, char** argv) {
  // Registered before anything traces and unregistered after the last line.
  const trace::ProviderRegistration tracing;
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-wizard: internal error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillon-wizard: internal error\n");
  }
  return 1;
}

}  // namespace quillon::wizard

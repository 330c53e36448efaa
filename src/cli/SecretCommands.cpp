// quillon-card change-pin, unblock-pin and change-admin-key: the secrets read as
// init reads them (never from the command line), checked as init checks them,
// then the operation on the chosen card.
#include <iostream>

#include "cardops/SecretChecks.h"
#include "cli/CardCommand.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Secrets.h"
#include "cli/TerminalUi.h"

namespace quillon::cli {

namespace {

using cardops::Outcome;

constexpr const char* kSecretOptionsNote =
    "Secrets are never given on the command line: without the options below they\n"
    "are asked for on the terminal without echo, a new one twice. Each option\n"
    "FILE reads the first line of FILE, each option FD one line from that file\n"
    "descriptor; a descriptor may carry several secrets, one per line, in the\n"
    "order of the options below.\n";

constexpr Option kYes{"yes", nullptr, "continue past the warnings (a default PIN or key)", 2};

// Each secret from NAME-file or NAME-fd, the two sharing a line of the help.
constexpr Option kChangePinOptions[] = {kDriveOption,
                                        kDirOption,
                                        kIdentityOption,
                                        {"pin-file", "FILE", "the current PIN", 1},
                                        {"pin-fd", "FD", nullptr, 1},
                                        {"new-pin-file", "FILE", "the new PIN", 1},
                                        {"new-pin-fd", "FD", nullptr, 1},
                                        kYes};
constexpr Option kUnblockPinOptions[] = {kDriveOption,
                                         kDirOption,
                                         kIdentityOption,
                                         {"admin-key-file", "FILE", "the administrator key", 1},
                                         {"admin-key-fd", "FD", nullptr, 1},
                                         {"new-pin-file", "FILE", "the new PIN", 1},
                                         {"new-pin-fd", "FD", nullptr, 1},
                                         kYes};
constexpr Option kChangeAdminKeyOptions[] = {kDriveOption,
                                             kDirOption,
                                             kIdentityOption,
                                             {"admin-key-file", "FILE", "the current key", 1},
                                             {"admin-key-fd", "FD", nullptr, 1},
                                             {"new-admin-key-file", "FILE", "the new key", 1},
                                             {"new-admin-key-fd", "FD", nullptr, 1},
                                             kYes};

// One secret from --NAME-file, --NAME-fd or the terminal; false after a message.
bool secretFrom(const Arguments& args, const char* prefix, const std::string& name, const char* prompt, bool isNew,
                ossl::SecureBytes& secret) {
  const std::string* file = args.value(name + "-file");
  const std::string* fd = args.value(name + "-fd");
  std::string error;
  const bool ok = isNew ? readNewSecret(file, fd, prompt, secret, error) : readSecret(file, fd, prompt, secret, error);
  if (!ok)
    std::cerr << prefix << "no " << name << ": " << error << " (give --" << name << "-file or --" << name
              << "-fd, or run on a terminal)\n";
  return ok;
}

// The parsing, the choice of the card and its presence that every command shares:
// -1 to go on, or the exit status.
int prepare(int argc, char** argv, const char* prefix, const char* head, Options options, Arguments& args,
            CardSource& source) {
  const std::string usage = cardUsage(head, true, kSecretOptionsNote, options);
  if (const int exit = parseCommand(argc, argv, {prefix, options, 0, usage}, args); exit >= 0) return exit;
  if (!oneSourceEach(args, options, prefix)) return kExitUsage;
  const cardops::Result found = findCard(args, source);
  return found.outcome == Outcome::kDone ? -1 : report(prefix, found);
}

}  // namespace

int changePinCommand(int argc, char** argv) {
  constexpr const char* kPrefix = "quillon-card change-pin: ";
  constexpr const char* kHead =
      "Usage: quillon-card change-pin [--drive DRIVE | --dir DIR --identity V:P:R:S] [OPTIONS]\n"
      "\n"
      "Changes the card's PIN: the current PIN, then the new one (4 to 16 digits;\n"
      "OpenSC and the programs that use it take at most 15).\n\n";
  Arguments args;
  CardSource source;
  if (const int exit = prepare(argc, argv, kPrefix, kHead, kChangePinOptions, args, source); exit >= 0) return exit;
  TerminalUi ui(kPrefix, args.has("yes"));
  ossl::SecureBytes pin, newPin;
  if (!secretFrom(args, kPrefix, "pin", "Current PIN: ", false, pin)) return kExitUsage;
  if (cardops::checkPin(pin, ui) != Outcome::kDone) return kExitUsage;
  if (!secretFrom(args, kPrefix, "new-pin", "New PIN: ", true, newPin)) return kExitUsage;
  const char* note = nullptr;
  if (const Outcome checked = cardops::checkNewPin(newPin, ui, &note); checked != Outcome::kDone)
    return exitCode(checked);
  const cardops::Result result =
      runOnCard(source, [&](cardops::CardChannel& card) { return cardops::changePin(card, pin, newPin); });
  if (result.outcome != Outcome::kDone) return report(kPrefix, result);
  std::cout << "The PIN was changed.\n";
  if (note != nullptr) std::cerr << kPrefix << "note: " << note << "\n";
  return kExitOk;
}

int unblockPinCommand(int argc, char** argv) {
  constexpr const char* kPrefix = "quillon-card unblock-pin: ";
  constexpr const char* kHead =
      "Usage: quillon-card unblock-pin [--drive DRIVE | --dir DIR --identity V:P:R:S] [OPTIONS]\n"
      "\n"
      "Sets a new PIN with the administrator key (48 hexadecimal digits), also when\n"
      "the PIN is blocked: its tries are full again.\n\n";
  Arguments args;
  CardSource source;
  if (const int exit = prepare(argc, argv, kPrefix, kHead, kUnblockPinOptions, args, source); exit >= 0) return exit;
  TerminalUi ui(kPrefix, args.has("yes"));
  ossl::SecureBytes keyText, key, newPin;
  if (!secretFrom(args, kPrefix, "admin-key", "Administrator key (48 hex digits): ", false, keyText)) return kExitUsage;
  if (const Outcome parsed = cardops::parseAdminKey(keyText, false, ui, key); parsed != Outcome::kDone)
    return exitCode(parsed);
  if (!secretFrom(args, kPrefix, "new-pin", "New PIN: ", true, newPin)) return kExitUsage;
  const char* note = nullptr;
  if (const Outcome checked = cardops::checkNewPin(newPin, ui, &note); checked != Outcome::kDone)
    return exitCode(checked);
  const cardops::Result result =
      runOnCard(source, [&](cardops::CardChannel& card) { return cardops::unblockPin(card, key, newPin); });
  if (result.outcome != Outcome::kDone) return report(kPrefix, result);
  std::cout << "The PIN was set; its tries are full again.\n";
  if (note != nullptr) std::cerr << kPrefix << "note: " << note << "\n";
  return kExitOk;
}

int changeAdminKeyCommand(int argc, char** argv) {
  constexpr const char* kPrefix = "quillon-card change-admin-key: ";
  constexpr const char* kHead =
      "Usage: quillon-card change-admin-key [--drive DRIVE | --dir DIR --identity V:P:R:S] [OPTIONS]\n"
      "\n"
      "Changes the administrator key (48 hexadecimal digits): the current key, then\n"
      "the new one. Done only once the new key has authenticated with the card.\n\n";
  Arguments args;
  CardSource source;
  if (const int exit = prepare(argc, argv, kPrefix, kHead, kChangeAdminKeyOptions, args, source); exit >= 0)
    return exit;
  TerminalUi ui(kPrefix, args.has("yes"));
  ossl::SecureBytes keyText, key, newKeyText, newKey;
  if (!secretFrom(args, kPrefix, "admin-key", "Administrator key (48 hex digits): ", false, keyText)) return kExitUsage;
  if (const Outcome parsed = cardops::parseAdminKey(keyText, false, ui, key); parsed != Outcome::kDone)
    return exitCode(parsed);
  if (!secretFrom(args, kPrefix, "new-admin-key", "New administrator key (48 hex digits): ", true, newKeyText))
    return kExitUsage;
  if (const Outcome parsed = cardops::parseAdminKey(newKeyText, true, ui, newKey); parsed != Outcome::kDone)
    return exitCode(parsed);
  const cardops::Result result =
      runOnCard(source, [&](cardops::CardChannel& card) { return cardops::changeAdminKey(card, key, newKey); });
  if (result.outcome != Outcome::kDone) return report(kPrefix, result);
  std::cout << "The administrator key was changed; the new key authenticated with the card.\n";
  return kExitOk;
}

}  // namespace quillon::cli

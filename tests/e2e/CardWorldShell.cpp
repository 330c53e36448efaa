// e2e_card_world: runs one command in a CardWorld, for the PKCS#11 benchmark and
// for trying things by hand: a fixture stick with no card, a private pcscd with
// this build's driver, and the command's environment pointing at both. The
// command gets the terminal; when it ends, pcscd is stopped and every file of the
// world removed. Needs root, as the end-to-end tests do.
//
//   e2e_card_world [--debug] -- COMMAND [ARGUMENTS]
//
// The command sees PCSCLITE_CSOCK_NAME, QUILLON_PROC_ROOT and QUILLON_SYS_ROOT
// (so that quillon-card takes the stick for a drive), QUILLON_DRIVE (its mount
// point), QUILLON_CARD (this build's quillon-card), QUILLON_SCRATCH (a private
// directory of the world) and QUILLON_PCSCD_LOG.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "CardWorld.h"

namespace {

int runAttached(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return 125;
  if (pid == 0) {
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::execvp(args[0], args.data());
    std::cerr << "e2e_card_world: cannot run " << argv[0] << ": " << std::strerror(errno) << "\n";
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char** argv) {
  using quillon::test::CardWorld;
  bool debug = false;
  int first = 1;
  for (; first < argc; ++first) {
    const std::string arg = argv[first];
    if (arg == "--") {
      ++first;
      break;
    }
    if (arg != "--debug") {
      std::cerr << "Usage: e2e_card_world [--debug] -- COMMAND [ARGUMENTS]\n";
      return 2;
    }
    debug = true;
  }
  if (first >= argc) {
    std::cerr << "Usage: e2e_card_world [--debug] -- COMMAND [ARGUMENTS]\n";
    return 2;
  }
  if (const std::string why = quillon::test::PcscdFixture::unavailableReason(); !why.empty()) {
    std::cerr << "e2e_card_world: " << why << "\n";
    return 77;
  }
  int status = 1;
  try {
    CardWorld world(debug);
    world.start();
    // An interrupt reaches the command (and pcscd, which the world reaps); this
    // process stays to clean up after them. Set after pcscd started, which must
    // not inherit it.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    for (const std::string& item : world.environment()) {
      const std::size_t eq = item.find('=');
      ::setenv(item.substr(0, eq).c_str(), item.substr(eq + 1).c_str(), 1);
    }
    ::setenv("QUILLON_DRIVE", world.drive().c_str(), 1);
    ::setenv("QUILLON_CARD", CardWorld::cardProgram().c_str(), 1);
    ::setenv("QUILLON_SCRATCH", world.scratch().c_str(), 1);
    ::setenv("QUILLON_PCSCD_LOG", world.pcscdLogPath().c_str(), 1);
    status = runAttached(std::vector<std::string>(argv + first, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "e2e_card_world: " << e.what() << "\n";
    return 1;
  }
  return status;
}

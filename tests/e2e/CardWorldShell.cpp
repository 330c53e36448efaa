// e2e_card_world [--debug] -- COMMAND [ARGUMENTS]: runs one command, on the terminal,
// in a CardWorld with no card yet, for the PKCS#11 benchmark and for trying things
// by hand; then stops pcscd and removes every file of the world. Needs root. The
// command sees PCSCLITE_CSOCK_NAME, QUILLON_PROC_ROOT and QUILLON_SYS_ROOT (so that
// quillon-card takes the stick for a drive), QUILLON_DRIVE (its mount point),
// QUILLON_CARD (this build's quillon-card), QUILLON_SCRATCH (a private directory of
// the world) and QUILLON_PCSCD_LOG.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "CardWorld.h"

int main(int argc, char** argv) {
  const bool debug = argc > 1 && std::strcmp(argv[1], "--debug") == 0;
  const int first = debug ? 3 : 2;
  if (argc <= first || std::strcmp(argv[first - 1], "--") != 0) {
    std::cerr << "Usage: e2e_card_world [--debug] -- COMMAND [ARGUMENTS]\n";
    return 2;
  }
  if (const std::string why = quillon::test::PcscdFixture::unavailableReason(); !why.empty()) {
    std::cerr << "e2e_card_world: " << why << "\n";
    return 77;
  }
  try {
    quillon::test::CardWorld world(debug);
    world.pcscd().start();
    // An interrupt reaches the command (and pcscd, which the world reaps); this
    // process stays to clean up after them. Set after pcscd started, which must
    // not inherit it.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    std::vector<std::string> env = world.environment();
    env.push_back("QUILLON_DRIVE=" + world.drive().string());
    env.push_back(std::string("QUILLON_CARD=") + world.kCardProgram);
    env.push_back("QUILLON_SCRATCH=" + world.scratch().string());
    env.push_back("QUILLON_PCSCD_LOG=" + (world.pcscd().directory() / "pcscd.log").string());
    for (const std::string& item : env) {
      const std::size_t eq = item.find('=');
      ::setenv(item.substr(0, eq).c_str(), item.substr(eq + 1).c_str(), 1);
    }
    const pid_t pid = ::fork();
    if (pid < 0) return 125;
    if (pid == 0) {
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      ::execvp(argv[first], argv + first);
      std::cerr << "e2e_card_world: cannot run " << argv[first] << ": " << std::strerror(errno) << "\n";
      ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  } catch (const std::exception& e) {
    std::cerr << "e2e_card_world: " << e.what() << "\n";
    return 1;
  }
}

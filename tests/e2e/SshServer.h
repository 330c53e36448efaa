// An sshd of the test's own on a free local port: its host key, configuration
// and log in a directory the caller owns, public-key logins only, as the user
// the test runs as (root, where the end-to-end tests run). Its privilege
// separation directory is a bind mount over /run/sshd in a mount namespace of
// its own, so the machine's /run is left as it was. sshd is stopped and reaped
// when the object goes, and killed by the kernel should the test process die.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/Child.h"

namespace quillon::test {

class SshServer {
 public:
  // Writes the host key and sshd_config into `directory`; logins are checked
  // against `authorizedKeys`. Throws std::runtime_error when a step fails.
  SshServer(std::filesystem::path directory, const std::filesystem::path& authorizedKeys);
  ~SshServer();
  SshServer(const SshServer&) = delete;
  SshServer& operator=(const SshServer&) = delete;

  // Starts sshd on a free port and waits until it listens; throws
  // std::runtime_error with its log otherwise.
  void start();
  void stop();

  int port() const { return port_; }
  // The client options that trust this server's host key without asking and
  // keep the caller's own ssh configuration, agent and password prompts out.
  std::vector<std::string> clientOptions() const;
  // sshd's output so far (-e: its log lines).
  std::string log() const;

 private:
  std::filesystem::path dir_;
  int port_ = 0;
  std::unique_ptr<Child> sshd_;
};

}  // namespace quillon::test

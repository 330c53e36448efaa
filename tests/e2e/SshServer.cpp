#include "SshServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace quillon::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A port the kernel has just handed out on 127.0.0.1 and taken back: free unless
// another program grabs it in between, which start() survives by trying again.
int freeLocalPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  if (!ok) throw std::runtime_error("no free local port");
  return ntohs(address.sin_port);
}

void writeText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

SshServer::SshServer(fs::path directory, const fs::path& authorizedKeys) : dir_(std::move(directory)) {
  fs::create_directories(dir_ / "privsep");
  fs::permissions(dir_ / "privsep", fs::perms::owner_all);
  const ProcessResult key =
      runProcess({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir_ / "host_key").string()}, {},
                 std::chrono::seconds(30));
  if (key.exitCode != 0) throw std::runtime_error("ssh-keygen could not make a host key: " + key.output);
  // StrictModes would refuse the world's temporary directories; PAM and
  // passwords stay out so that only the key can let anyone in.
  writeText(dir_ / "sshd_config",
            "ListenAddress 127.0.0.1\n"
            "HostKey " +
                (dir_ / "host_key").string() +
                "\n"
                "AuthorizedKeysFile " +
                authorizedKeys.string() +
                "\n"
                "PermitRootLogin prohibit-password\n"
                "StrictModes no\n"
                "UsePAM no\n"
                "PasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\n"
                "PidFile none\n");
}

SshServer::~SshServer() { stop(); }

void SshServer::start() {
  if (sshd_) return;
  // The bind mount exists only in sshd's namespace; "$1" is the directory and
  // the rest is the command, so no path is ever parsed by the shell.
  constexpr const char* kBindAndRun = "mkdir -p /run/sshd && mount --bind \"$1\" /run/sshd && shift && exec \"$@\"";
  const std::string sshd = findProgram("sshd");
  if (sshd.empty()) throw std::runtime_error("sshd is not installed");
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = freeLocalPort();
    fs::remove(dir_ / "sshd.log");
    sshd_ = std::make_unique<Child>(
        std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "sh", "-c", kBindAndRun, "sh",
                                 (dir_ / "privsep").string(), sshd, "-D", "-e", "-f", (dir_ / "sshd_config").string(),
                                 "-p", std::to_string(port_)},
        std::vector<std::string>{}, (dir_ / "sshd.log").string());
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (sshd_->running() && Clock::now() < deadline) {
      if (log().find("Server listening on") != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool portTaken = log().find("Bind to port") != std::string::npos;
    stop();
    if (!portTaken) break;
  }
  throw std::runtime_error("sshd does not listen; its log:\n" + log());
}

void SshServer::stop() {
  if (sshd_) sshd_->stop(std::chrono::seconds(5));
  sshd_.reset();
}

std::vector<std::string> SshServer::clientOptions() const {
  return {"-F", "/dev/null",
          "-p", std::to_string(port_),
          "-o", "StrictHostKeyChecking=no",
          "-o", "UserKnownHostsFile=" + (dir_ / "known_hosts").string(),
          "-o", "IdentityAgent=none",
          "-o", "PasswordAuthentication=no",
          "-o", "KbdInteractiveAuthentication=no",
          "-o", "ConnectTimeout=10"};
}

std::string SshServer::log() const {
  std::ifstream in(dir_ / "sshd.log", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quillon::test

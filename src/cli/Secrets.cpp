#include "cli/Secrets.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon::cli {

namespace {

constexpr std::size_t kMaxSecret = 256;

// Reads one line; false on a read error or an overlong line. An input that has
// ended gives an empty line.
bool readLine(int fd, ossl::SecureBytes& line, std::string& error) {
  return readSecretLine(fd, line, kMaxSecret, error) != LineRead::kError;
}

}  // namespace

bool stdinIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

LineRead readSecretLine(int fd, ossl::SecureBytes& line, std::size_t maxLength, std::string& error) {
  line.clear();
  bool any = false;
  while (true) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      return LineRead::kError;
    }
    if (n == 0) {
      if (!any) return LineRead::kEnd;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (line.size() >= maxLength) {
      error = "the line is too long";
      return LineRead::kError;
    }
    line.push_back(static_cast<std::uint8_t>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LineRead::kLine;
}

bool readSecret(const std::string* file, const std::string* fdText, const char* prompt, ossl::SecureBytes& secret,
                std::string& error) {
  if (file != nullptr) {
    const int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = "cannot open '" + *file + "': " + std::strerror(errno);
      return false;
    }
    const bool ok = readLine(fd, secret, error);
    ::close(fd);
    if (!ok) error = "cannot read '" + *file + "': " + error;
    return ok;
  }
  if (fdText != nullptr) {
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(fdText->c_str(), &end, 10);
    if (fdText->empty() || *end != '\0' || errno != 0 || fd < 0 || fd > 65535) {
      error = "'" + *fdText + "' is not a file descriptor number";
      return false;
    }
    if (!readLine(static_cast<int>(fd), secret, error)) {
      error = "cannot read descriptor " + *fdText + ": " + error;
      return false;
    }
    return true;
  }
  if (!stdinIsTerminal()) {
    error = "no terminal to ask on";
    return false;
  }
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  termios saved{};
  const bool haveTermios = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (haveTermios) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = readLine(STDIN_FILENO, secret, error);
  if (haveTermios) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  return ok;
}

bool readNewSecret(const std::string* file, const std::string* fd, const char* prompt, ossl::SecureBytes& secret,
                   std::string& error) {
  if (!readSecret(file, fd, prompt, secret, error)) return false;
  if (file != nullptr || fd != nullptr) return true;
  ossl::SecureBytes again;
  if (!readSecret(nullptr, nullptr, "Again: ", again, error)) return false;
  if (again.size() != secret.size() || CRYPTO_memcmp(again.data(), secret.data(), secret.size()) != 0) {
    error = "the two entries differ";
    return false;
  }
  return true;
}

}  // namespace quillon::cli

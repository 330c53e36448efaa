#include "CardUserTest.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

namespace quillon::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTools[] = {"opensc-tool", "pkcs15-tool", "gids-tool", "pkcs11-tool", "openssl"};

std::string tail(const std::string& text, std::size_t lines) {
  std::size_t at = text.size();
  for (std::size_t n = 0; n <= lines && at > 0; ++n) at = text.rfind('\n', at - 1);
  return at == std::string::npos ? text : text.substr(at + 1);
}

}  // namespace

void CardUserTest::SetUp() {
  if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
  for (const char* tool : kTools)
    if (findProgram(tool).empty()) GTEST_SKIP() << tool << " is not installed (Debian: opensc, openssl)";
  if (pkcs11Module().empty()) GTEST_SKIP() << "OpenSC's PKCS#11 module is not installed (Debian: opensc-pkcs11)";
  ASSERT_NO_THROW(world.start());
}

void CardUserTest::TearDown() {
  if (HasFailure()) std::cerr << "pcscd log (end):\n" << tail(world.pcscdLog(), 60) << "\n";
}

std::string CardUserTest::pkcs11Module() { return fs::exists(QUILLON_OPENSC_PKCS11) ? QUILLON_OPENSC_PKCS11 : ""; }

void CardUserTest::initCard(const std::string& pin, const std::string& adminKey, const std::string& serial) {
  const fs::path pinFile = world.writeFile("init-pin", pin + "\n");
  const fs::path keyFile = world.writeFile("init-key", adminKey + "\n");
  const ProcessResult r = card({"init", world.drive().string(), "--pin-file", pinFile.string(), "--admin-key-file",
                                keyFile.string(), "--serial", serial, "--yes"});
  fs::remove(pinFile);
  fs::remove(keyFile);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  ASSERT_NE(r.output.find("the virtual reader serves it"), std::string::npos) << r.output;
  ASSERT_TRUE(waitForCard(true));
}

bool CardUserTest::waitForCard(bool present, std::chrono::milliseconds timeout) {
  const std::regex line(std::string("\\n\\d+\\s+") + (present ? "Yes" : "No") + "\\s+.*" + CardWorld::kReaderName);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const ProcessResult r = run({"opensc-tool", "-l"});
    if (std::regex_search(r.output, line)) return true;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the reader does not show " << (present ? "a card" : "no card") << ":\n" << r.output;
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
}

ProcessResult CardUserTest::pkcs11(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"pkcs11-tool", "--module", pkcs11Module()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

std::vector<std::string> CardUserTest::sendApdus(const std::vector<std::string>& apdus, ProcessResult* result) {
  std::vector<std::string> argv = {"opensc-tool", "-r", CardWorld::kReaderName};
  for (const auto& apdu : apdus) {
    argv.push_back("-s");
    argv.push_back(apdu);
  }
  const ProcessResult r = run(argv);
  std::vector<std::string> statusWords;
  const std::regex received("Received \\(SW1=0x([0-9A-Fa-f]{2}), SW2=0x([0-9A-Fa-f]{2})\\)");
  for (auto it = std::sregex_iterator(r.output.begin(), r.output.end(), received); it != std::sregex_iterator(); ++it) {
    std::string sw = (*it)[1].str() + (*it)[2].str();
    for (char& c : sw) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    statusWords.push_back(sw);
  }
  if (result != nullptr) *result = r;
  return statusWords;
}

ProcessResult CardUserTest::opensslVerify(const std::string& publicKeyDer, const std::string& signature,
                                          const std::string& message) {
  return run({"openssl", "dgst", "-sha256", "-verify", file(publicKeyDer).string(), "-keyform", "DER", "-signature",
              file(signature).string(), file(message).string()});
}

std::string CardUserTest::readFile(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string lastReceivedData(const std::string& output) {
  const std::size_t at = output.rfind("Received (");
  if (at == std::string::npos) return {};
  std::istringstream lines(output.substr(at));
  std::string line;
  std::getline(lines, line);  // the status line
  std::string hex;
  // Each line: up to 16 bytes as "XX " in the first 48 columns, then their text.
  while (std::getline(lines, line) && !line.empty()) {
    std::istringstream bytes(line.substr(0, 48));
    std::string byte;
    while (bytes >> byte) hex += byte;
  }
  return hex;
}

}  // namespace quillon::test

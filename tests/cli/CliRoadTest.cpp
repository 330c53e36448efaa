// The whole road through quillon-card, as a user runs it: init a card in a
// directory standing in for a drive (without the reader), use it with apdu,
// refuse it under another identity, write it out with decrypt; and the input
// checks with their exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "../gids/OpenSslPeer.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

struct CardRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `quillon-card ARGS` with `input` on standard input (not a terminal).
CardRun card(const std::string& args, const std::string& input = "") {
  const fs::path tmp = fs::temp_directory_path();
  const std::string id = std::to_string(::getpid());
  const fs::path in = tmp / ("quillon-in-" + id), out = tmp / ("quillon-out-" + id), err = tmp / ("quillon-err-" + id);
  std::ofstream(in) << input;
  const std::string command = std::string(QUILLON_CARD) + " " + args + " <" + in.string() + " >" + out.string() +
                              " 2>" + err.string();
  CardRun r;
  const int raw = std::system(command.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  auto slurp = [](const fs::path& p) {
    std::ifstream f(p);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  };
  r.out = slurp(out);
  r.err = slurp(err);
  fs::remove(in), fs::remove(out), fs::remove(err);
  return r;
}

constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kKey = "0102030405060708090A0B0C0D0E0F101112131415161718";

class CliRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-road-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string target(const char* identity = kIdentity) { return "--dir " + dir.string() + " --identity " + identity; }
  CardRun init(const std::string& pin, const std::string& extra = "") {
    return card("init " + target() + " --no-reader --pin-fd 0 --admin-key-fd 0 " + extra, pin + "\n" + kKey + "\n");
  }
  fs::path dir;
};

TEST_F(CliRoadTest, InitThenUseThenDecrypt) {
  const CardRun created = init("2468", "--serial 00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_NE(created.out.find("serial number 00112233445566778899AABBCCDDEEFF"), std::string::npos);

  const CardRun used = card("apdu " + target(),
                        "00A4040C09A0000003974254465900\n"
                        "00200080043234363800\n"
                        "00CBA012045C02DF2000\n"
                        "002281A403830180\n"
                        "00870000047C02810000\n");
  ASSERT_EQ(used.status, 0) << used.err;
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = used.out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(used.out.substr(start, end - start));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "9000");
  EXPECT_EQ(lines[2], "DF201000112233445566778899AABBCCDDEEFF 9000");
  EXPECT_EQ(lines[3], "9000");
  ASSERT_EQ(lines[4].size(), 2u * 12 + 5);

  // Another device's identity opens nothing and changes nothing.
  const auto bytesBefore = fs::file_size(dir / "Quillon2.bin");
  const CardRun stranger = card("apdu " + target("ACME:STICK:1.00:SN0002"), "0020008004323436 38\n");
  EXPECT_EQ(stranger.status, 1);
  EXPECT_NE(stranger.err.find("cannot be opened"), std::string::npos);
  EXPECT_EQ(fs::file_size(dir / "Quillon2.bin"), bytesBefore);

  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  const CardRun decrypted = card("decrypt " + target());
  fs::current_path(cwd);
  EXPECT_EQ(decrypted.status, 0) << decrypted.err;
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.bin"));
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.xml.txt"));
}

TEST_F(CliRoadTest, AdministratorAuthenticatesInOneSession) {
  ASSERT_EQ(init("2468").status, 0);
  // A program drives the shell: the answer to the challenge depends on the challenge.
  int toCard[2], fromCard[2];
  ASSERT_EQ(pipe(toCard), 0);
  ASSERT_EQ(pipe(fromCard), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(toCard[0], 0);
    dup2(fromCard[1], 1);
    close(toCard[1]);
    close(fromCard[0]);
    execl(QUILLON_CARD, QUILLON_CARD, "apdu", "--dir", dir.c_str(), "--identity", kIdentity, nullptr);
    _exit(127);
  }
  close(toCard[0]);
  close(fromCard[1]);
  std::FILE* in = fdopen(toCard[1], "w");
  std::FILE* out = fdopen(fromCard[0], "r");
  auto exchange = [&](const std::string& command) {
    std::fprintf(in, "%s\n", command.c_str());
    std::fflush(in);
    char line[512] = {};
    return std::string(std::fgets(line, sizeof line, out) ? line : "");
  };
  EXPECT_EQ(exchange("002281A403830180"), "9000\n");
  const std::string challenge = exchange("00870000047C02810000");
  ASSERT_EQ(challenge.size(), 2u * 12 + 6);
  const Bytes response = tdesCbc(fromHex(kKey), fromHex(challenge.substr(8, 16)), true);
  EXPECT_EQ(exchange("008700000C7C0A8208" + toHex(response)), "9000\n");
  EXPECT_EQ(exchange("002C02800431313131"), "9000\n");  // the administrator resets the PIN
  std::fclose(in);
  std::fclose(out);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The new PIN is in the stored card.
  EXPECT_EQ(card("apdu " + target(), "002000800431313131\n").out, "9000\n");
}

TEST_F(CliRoadTest, InputChecksAndExitCodes) {
  CardRun r = card("init " + target() + " --no-reader");  // no terminal, no secrets given
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no PIN"), std::string::npos);
  r = init("12");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("The PIN must be between 4 and 16 digits long."), std::string::npos);
  r = init("1234", "--serial 0011");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("The serial number must be exactly 32 hexadecimal characters."), std::string::npos);
  r = init("7931");  // the default PIN asks; without a terminal the run stops
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Warning: you should change the default PIN. Continue?"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  ASSERT_EQ(init("1234").status, 0);
  r = init("5678");  // a container exists now
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(init("5678", "--yes").status, 0);
  EXPECT_EQ(card("apdu " + target(), "002000800435363738\n").out, "9000\n");

  EXPECT_EQ(card("init --dir " + dir.string()).status, 2);                                  // no identity
  EXPECT_EQ(card("init " + dir.string() + " --identity " + kIdentity).status, 2);           // identity without --dir
  EXPECT_EQ(card("init " + target() + " --pin 1234").status, 2);                            // no secrets on the line
  EXPECT_EQ(card("decrypt " + target("ACME:STICK:1.00:OTHER")).status, 1);
  EXPECT_EQ(card("apdu --dir /nonexistent --identity " + std::string(kIdentity), "00A4000C023FFF\n").status, 1);
  EXPECT_EQ(card("list --help").status, 0);
  EXPECT_EQ(card("init --help").status, 0);
}

}  // namespace
}  // namespace quillon::test

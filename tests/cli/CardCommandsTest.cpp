// quillon-card's commands on an existing card without a reader: the argument
// checks (usage errors exit 2 before anything is asked), the exit statuses
// numbered in every --help, no service meaning "no reader" (6) before a secret is
// read, and the whole road on a stored card (--dir): info, wrong and right PINs
// down to blocked, unblock, change of the administrator key, secrets sharing one
// descriptor, the default PIN stopping at its warning. info's JSON, and list
// saying on standard error that there is no drive.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CardInfoOutput.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;
constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
constexpr const char* kOtherKey = "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6";

struct CardRun {
  int status = -1;
  std::string out, err;
};

class CardCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-cardcommands-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "card");
    // No pcscd: the clients' socket does not exist. No removable drive either.
    env = "PCSCLITE_CSOCK_NAME=" + (dir / "no-pcscd.comm").string() + " QUILLON_PROC_ROOT=" + (dir / "proc").string() +
          " QUILLON_SYS_ROOT=" + (dir / "sys").string();
    fs::create_directories(dir / "proc" / "self");
    std::ofstream(dir / "proc" / "self" / "mountinfo") << "";
    fs::create_directories(dir / "sys");
  }
  void TearDown() override { fs::remove_all(dir); }

  // `quillon-card ARGS` with `input` on standard input (not a terminal).
  CardRun card(const std::string& args, const std::string& input = "") {
    std::ofstream(dir / "in") << input;
    const std::string command = "env " + env + " " QUILLON_CARD " " + args + " <" + (dir / "in").string() + " >" +
                                (dir / "out").string() + " 2>" + (dir / "err").string();
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp("out"), slurp("err")};
  }
  std::string slurp(const char* name) {
    std::ifstream f(dir / name);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  }
  std::string stored() const { return "--dir " + (dir / "card").string() + " --identity " + kIdentity; }
  // A command on the stored card with the secrets, one per line, on standard input (descriptor 0).
  CardRun onCard(const std::string& command, const std::string& options, const std::string& secrets) {
    return card(command + " " + stored() + " " + options, secrets);
  }

  fs::path dir;
  std::string env;
};

TEST_F(CardCommandsTest, UsageErrorsExitWith2AndEveryHelpNumbersTheStatuses) {
  for (const char* args :
       {"info extra", "eject now", "insert a b", "insert", "change-pin --pin 1234",
        "change-pin --pin-file a --pin-fd 0", "unblock-pin --new-pin-file a --new-pin-fd 0", "info --dir /tmp",
        "info --identity A:B:C:D", "info --drive /tmp --dir /tmp", "change-admin-key --dir /tmp --identity bad\x01"}) {
    const CardRun r = card(args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.err;
    EXPECT_FALSE(r.err.empty()) << args;
  }
  for (const char* command : {"info", "eject", "insert", "change-pin", "unblock-pin", "change-admin-key"}) {
    const CardRun r = card(std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command;
    for (const char* line : {"  4  wrong PIN or administrator key", "  5  the PIN is blocked", "  6  no reader"})
      EXPECT_NE(r.out.find(line), npos) << command << ": " << line;
  }
  const CardRun help = card("help");
  for (const char* command : {"insert", "eject", "info", "change-pin", "unblock-pin", "change-admin-key"})
    EXPECT_NE(help.out.find(std::string("  ") + command + " "), npos) << command;
}

TEST_F(CardCommandsTest, WithoutTheServiceTheReaderCommandsSayNoReaderBeforeAskingAnything) {
  for (const char* args : {"info", "eject", "change-pin", "unblock-pin", "change-admin-key"}) {
    const CardRun r = card(args);
    EXPECT_EQ(r.status, 6) << args << ": " << r.err;
    EXPECT_NE(r.err.find("(pcscd) is not running"), npos) << args << ": " << r.err;
    EXPECT_EQ(r.err.find("no pin"), npos) << args << ": " << r.err;
  }
  const CardRun json = card("info --json");
  EXPECT_EQ(json.status, 6);
  EXPECT_NE(json.out.find("\"reader\": null,\n  \"cardPresent\": false,\n  \"serial\": null"), npos) << json.out;
  // insert checks the drive before the reader: a directory that is no mounted volume.
  const CardRun insert = card("insert " + (dir / "card").string());
  EXPECT_EQ(insert.status, 2) << insert.err;
  EXPECT_NE(insert.err.find("is not the mount point of a volume"), npos) << insert.err;
  // list: standard output stays empty for programs.
  const CardRun list = card("list");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, "");
  EXPECT_NE(list.err.find("no removable drive"), npos);
}

TEST_F(CardCommandsTest, TheSecretCommandsOnAStoredCard) {
  CardRun r = onCard("info", "", "");
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("There is no card in"), npos) << r.err;
  r = onCard("init", "--no-reader --pin-fd 0 --admin-key-fd 0 --serial 00112233445566778899AABBCCDDEEFF",
             std::string("1234\n") + kKey + "\n");
  ASSERT_EQ(r.status, 0) << r.err;
  r = onCard("info", "", "");
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* line : {"Card:            present", "Serial number:   00112233445566778899AABBCCDDEEFF",
                           "PIN:             3 tries left", "Phase:           operational"})
    EXPECT_NE(r.out.find(line), npos) << line << " in:\n" << r.out;

  // Both PINs on one descriptor, the current one first.
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "9999\n5678\n");
  EXPECT_EQ(r.status, 4);
  EXPECT_NE(r.err.find("2 tries left"), npos) << r.err;
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "1234\n5678\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "5678\n7931\n");  // the default PIN, without --yes
  EXPECT_EQ(r.status, 3) << r.err;
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "5678\n12a4\n");
  EXPECT_EQ(r.status, 2) << r.err;
  for (const int expected : {4, 4, 5}) {
    r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "1234\n2468\n");
    EXPECT_EQ(r.status, expected) << r.err;
  }
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "5678\n2468\n");  // blocked: even the right one
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_NE(onCard("info", "--json", "").out.find("\"pinBlocked\": true"), npos);

  r = onCard("unblock-pin", "--admin-key-fd 0 --new-pin-fd 0", std::string(kOtherKey) + "\n2468\n");
  EXPECT_EQ(r.status, 4) << r.err;
  r = onCard("unblock-pin", "--admin-key-fd 0 --new-pin-fd 0", std::string(kKey) + "\n2468\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(onCard("info", "", "").out.find("3 tries left"), npos);
  r = onCard("change-pin", "--pin-fd 0 --new-pin-fd 0", "2468\n1357\n");
  EXPECT_EQ(r.status, 0) << r.err;

  r = onCard("change-admin-key", "--admin-key-fd 0 --new-admin-key-fd 0", std::string(kKey) + "\n" + kOtherKey + "\n");
  EXPECT_EQ(r.status, 0) << r.err;
  r = onCard("unblock-pin", "--admin-key-fd 0 --new-pin-fd 0", std::string(kKey) + "\n2468\n");
  EXPECT_EQ(r.status, 4) << r.err;
  r = onCard("unblock-pin", "--admin-key-fd 0 --new-pin-fd 0", std::string(kOtherKey) + "\n2468\n");
  EXPECT_EQ(r.status, 0) << r.err;
  // The card keeps it: an apdu session verifies the PIN set last.
  r = onCard("apdu", "", "00A4040009A000000397425446590000\n0020008004 32343638\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n9000\n"), npos) << r.out;
}

TEST(CardInfoOutputTest, JsonEscapesWhatIsNotPlainText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"CN=a", "\"CN=a\""},
      {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
      {"tab\tnl\n\x7f", "\"tab\\u0009nl\\u000a\\u007f\""},
      {"Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x94\x91", "\"Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x94\x91\""},
      {"bad\xFF\xC3", "\"bad\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xC0\xAF\xED\xA0\x80",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong, surrogate
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(cli::jsonString(text), json);
}

TEST(CardInfoOutputTest, JsonHasEveryKey) {
  cardops::CardInfo card;
  card.serial = "00AA";
  card.pinTriesLeft = 2;
  card.containers.push_back({"le-\"1\"", true, true, 0, 2048});
  card.certificates.push_back(
      {"kxc00", "CN = x", "CN = y", "Dec  7 13:00:00 2026 GMT", "Dec  9 13:00:00 2026 GMT", 2048});
  std::ostringstream out;
  cli::writeInfoJson(out, {"Brindleworth Virtual Reader 00 00", true, &card});
  EXPECT_EQ(out.str(),
            "{\n  \"reader\": \"Brindleworth Virtual Reader 00 00\",\n  \"cardPresent\": true,\n"
            "  \"serial\": \"00AA\",\n  \"pinTriesLeft\": 2,\n  \"pinBlocked\": false,\n"
            "  \"initialisationPhase\": false,\n"
            "  \"containers\": [{\"name\": \"le-\\\"1\\\"\", \"valid\": true, \"default\": true, \"signatureBits\": 0, "
            "\"keyExchangeBits\": 2048}],\n"
            "  \"certificates\": [{\"file\": \"kxc00\", \"subject\": \"CN = x\", \"issuer\": \"CN = y\", "
            "\"notBefore\": \"Dec  7 13:00:00 2026 GMT\", \"notAfter\": \"Dec  9 13:00:00 2026 GMT\", "
            "\"keyBits\": 2048}]\n}\n");
  card.pinTriesLeft = -1;
  std::ostringstream unknown;
  cli::writeInfoJson(unknown, {"", true, &card});
  EXPECT_NE(unknown.str().find("\"reader\": null"), npos);
  EXPECT_NE(unknown.str().find("\"pinTriesLeft\": null"), npos);
}

}  // namespace
}  // namespace quillon::test

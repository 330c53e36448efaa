// quillon-card as a user runs it, against a fixture /proc and /sys with one USB
// stick and no pcscd: the options, exit statuses and messages of every command,
// case by case from tests/data/cli/commands.txt. Then what a table cannot say:
// a stored state out of range refused by name, a container the user may not
// read, and several programs sharing one stored card.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cardops/StoredCard.h"
#include "cli/CardInfoOutput.h"
#include "gids/GidsAppletInstaller.h"
#include "support/CardFixture.h"
#include "support/HeldDriveLock.h"
#include "support/SysfsTree.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;
constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kSelect = "00A4040C09A0000003974254465900";

struct CardRun {
  int status = -1;
  std::string out, err;
};

std::string slurp(const fs::path& path) {
  std::ifstream f(path);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& p : {drive, dir, blank, work}) fs::create_directories(p);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
  }

  // `quillon-card ARGS` (through the shell) in the work directory, `input` on standard input.
  CardRun card(const std::string& args, const std::string& input = "", const std::string& prefix = "") {
    std::ofstream(work / "in", std::ios::binary) << input;
    const std::string command = "cd " + work.string() + " && " + prefix +
                                " env PCSCLITE_CSOCK_NAME=" + (tree.root() / "no-pcscd.comm").string() +
                                " QUILLON_PROC_ROOT=" + (tree.root() / "proc").string() +
                                " QUILLON_SYS_ROOT=" + tree.sys().string() + " " QUILLON_CARD " " + args +
                                " <in >out 2>err";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(work / "out"), slurp(work / "err")};
  }
  std::string target(const char* identity = kIdentity) { return "--dir " + dir.string() + " --identity " + identity; }
  int init() {
    return card("init " + target() + " --no-reader --pin-fd 0 --admin-key-fd 0", expand("2468\n$KEY\n")).status;
  }
  std::string expand(std::string text) {
    const std::pair<std::string, std::string> names[] = {{"$TARGET", target()},
                                                         {"$DRIVE", drive.string()},
                                                         {"$DIR", dir.string()},
                                                         {"$BLANK", blank.string()},
                                                         {"$WORK", work.string()},
                                                         {"$ID", kIdentity},
                                                         {"$KEY2", "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6"},
                                                         {"$KEY", "0102030405060708090A0B0C0D0E0F101112131415161718"}};
    for (const auto& [name, value] : names)
      for (std::size_t at; (at = text.find(name)) != npos;) text.replace(at, name.size(), value);
    return unescape(text);
  }

  SysfsTree tree;
  const fs::path drive = tree.root() / "media" / "STICK", dir = tree.root() / "plain", blank = tree.root() / "blank",
                 work = tree.root() / "work";
};

TEST_F(CliTest, CommandsFromTheCaseFile) {
  std::ifstream file(dataPath("cli/commands.txt"));
  ASSERT_TRUE(file);
  int cases = 0;
  std::optional<HeldDriveLock> held;  // another program's lock on a drive, for one case
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream split(line);
    for (std::string field; f.size() < 3 && std::getline(split, field, '|');) f.push_back(field);
    f.emplace_back(std::istreambuf_iterator<char>(split), std::istreambuf_iterator<char>());
    for (std::string& field : f) {
      field.erase(0, field.find_first_not_of(' '));
      field.erase(field.find_last_not_of(' ') + 1);
    }
    SCOPED_TRACE(line);
    if (f[0] == "file") {
      std::ofstream(expand(f[1]), std::ios::binary) << expand(f[2]);
      continue;
    }
    if (f[0] == "lock") {
      held.emplace(expand(f[1]));
      continue;
    }
    const auto start = std::chrono::steady_clock::now();
    const CardRun r = card(expand(f[1]), expand(f[2]));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    held.reset();
    ++cases;
    EXPECT_EQ(r.status, std::stoi(f[0])) << r.err;
    for (std::size_t at = 0; at < f[3].size();) {
      const std::size_t end = std::min(f[3].find(" ;; ", at), f[3].size());
      const std::string what = f[3].substr(at, end - at);
      at = end + 4;
      const std::string text = expand(what.substr(4)), &got = what[0] == 'o' ? r.out : r.err;
      const char kind = what[3];
      if (what.starts_with("exists:") || what.starts_with("absent:"))
        EXPECT_EQ(fs::exists(expand(what.substr(7))), what[0] == 'e') << what;
      else if (what.starts_with("waits:"))  // that many seconds, and less than five more
        EXPECT_TRUE(took.count() >= std::stod(what.substr(6)) && took.count() < std::stod(what.substr(6)) + 5)
            << took.count();
      else if (kind == ':')
        EXPECT_NE(got.find(text), npos) << what << " in:\n" << got;
      else if (kind == '!')
        EXPECT_EQ(got.find(text), npos) << what << " in:\n" << got;
      else
        EXPECT_EQ(got, text) << what;
    }
  }
  EXPECT_GT(cases, 100);
}

// Not taken for a damaged container (as nobody: root reads any file).
TEST_F(CliTest, AContainerTheUserMayNotReadIsSaidToBeSo) {
  fs::permissions(tree.root(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  for (const fs::path& p : {dir, work}) fs::permissions(p, fs::perms::all, fs::perm_options::add);
  ASSERT_EQ(init(), 0);
  fs::permissions(dir / "Quillon2.bin", fs::perms::none);
  const std::string asUser = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const CardRun r = card("decrypt " + target(), "", asUser);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot be opened: permission to read it was denied"), npos) << r.err;
}

// Eight programs at once send two wrong PINs each: three are counted, one per
// answer, and the rest find the PIN blocked.
TEST_F(CliTest, WrongPinsFromProgramsAtOnceAreEachCounted) {
  ASSERT_EQ(init(), 0);
  std::ofstream(work / "wrong") << "002000800439393939\n002000800439393939\n";
  const std::string programs = "cd " + work.string() + " && for i in 1 2 3 4 5 6 7 8; do " QUILLON_CARD " apdu " +
                               target() + " <wrong >answers$i & done; wait; cat answers* | sort | uniq -c >all";
  ASSERT_EQ(std::system(programs.c_str()), 0);
  EXPECT_EQ(slurp(work / "all"), "      1 63C0\n      1 63C1\n      1 63C2\n     13 6983\n");
}

// A program's stored card as the APDU shell holds it, one command at a time.
struct StoredSession {
  explicit StoredSession(const fs::path& dir)
      : card(dir.string(), [this, dir](std::string& error) {
          return cardops::loadStoredCard(dir.string(), {"ACME", "STICK", "1.00", "SN0001"}, installer, error);
        }) {
    std::string error;
    EXPECT_TRUE(card.open(error)) << error;
  }
  std::string exchange(const std::string& command) {
    std::string error;
    IJCRuntime* runtime = card.begin(error);
    if (runtime == nullptr) return error;
    const Response r = transmitHex(*runtime, command);
    EXPECT_TRUE(card.end(error)) << error;
    return (r.data.empty() ? "" : r.data + " ") + toHex({std::uint8_t(r.sw >> 8), std::uint8_t(r.sw)});
  }
  GidsAppletInstaller installer;
  cardops::StoredCard card;
};

TEST_F(CliTest, TwoProgramsWritingKeepBothWritesAndSeeEachOthersChangesAsAReset) {
  ASSERT_EQ(init(), 0);
  StoredSession first(dir), second(dir);
  for (StoredSession* session : {&first, &second})
    EXPECT_EQ(session->exchange(kSelect) + session->exchange("002000800432343638"), "90009000");
  EXPECT_EQ(first.exchange("00DBA01007DF240411111111"), "9000");
  // The second program's card was written behind its back: read again, as after a reset.
  EXPECT_EQ(second.exchange("00DBA01307DF400422222222"), "6982");
  EXPECT_EQ(second.exchange("002000800432343638"), "9000");
  EXPECT_EQ(second.exchange("00DBA01307DF400422222222"), "9000");
  EXPECT_EQ(first.exchange("00CBA013045C02DF4000"), "6982");
  EXPECT_EQ(card("apdu " + target(), "002000800432343638\n00CBA010045C02DF2400\n00CBA013045C02DF4000\n").out,
            "9000\nDF240411111111 9000\nDF400422222222 9000\n");
}

TEST(CardInfoOutputTest, JsonEscapesWhatIsNotPlainTextAndHasEveryKey) {
  // Quotes, controls, valid UTF-8 kept; a stray byte, a cut sequence, an overlong form and a surrogate replaced.
  EXPECT_EQ(cli::jsonString("\"\\\t\x7f Zo\xC3\xAB \xF0\x9F\x94\x91 \xFF\xC3 \xC0\xAF\xED\xA0\x80"),
            "\"\\\"\\\\\\u0009\\u007f Zo\xC3\xAB \xF0\x9F\x94\x91 \xEF\xBF\xBD\xEF\xBF\xBD "
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");

  cardops::CardInfo card;
  card.serial = "00AA";
  card.pinTriesLeft = 2;
  card.containers.push_back({"le-\"1\"", true, true, 0, 2048});
  card.certificates.push_back(
      {"kxc00", "CN = x", "CN = y", "Dec  7 13:00:00 2026 GMT", "Dec  9 13:00:00 2026 GMT", 2048});
  std::ostringstream out;
  cli::writeInfoJson(out, {"Brindleworth Virtual Reader 00 00", true, &card});
  const Bytes expected = readFileBytes(dataPath("cli/info.json"));
  EXPECT_EQ(out.str(), std::string(expected.begin(), expected.end()));
}

}  // namespace
}  // namespace quillon::test

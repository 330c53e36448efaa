// quillon-card as a user runs it, from a string on standard input (not a
// terminal) or driven one command at a time through pipes. The apdu shell, in
// process and on a script file. The whole road in a directory standing in for a
// drive, without the reader: init, use with apdu, refusal under another identity,
// decrypt; the input checks with their exit codes. Then with the virtual reader in
// the way but no pcscd (clients are pointed at a socket that does not exist):
// init refuses a directory the reader could not serve before asking for anything,
// and writes nothing without the service; --no-reader and --blank write their
// cards; clear deletes nothing without a reader. Cards that do not load are
// refused saying why. Several programs share one stored card.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../platform/SysfsTree.h"
#include "base/FileHandle.h"
#include "cli/ApduShell.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/DeviceKey.h"
#include "container/FilePersist.h"
#include "personalise/CreateSecureContainer.h"
#include "platform/DeviceDetails.h"
#include "reader/ServedCard.h"
#include "support/CardFixture.h"
#include "support/HeldDriveLock.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
constexpr const char* kNoService = "The smart-card service (pcscd) is not running.";
constexpr auto npos = std::string::npos;

struct CardRun {
  int status = -1;
  std::string out, err;
};

// Runs `env ENV quillon-card ARGS` through the shell with `input` on standard input.
CardRun runCard(const std::string& args, const std::string& input = "", const std::string& env = "") {
  const std::string base = fs::temp_directory_path() / ("quillon-card-" + std::to_string(::getpid()));
  std::ofstream(base + ".in") << input;
  const std::string command =
      "env " + env + " " QUILLON_CARD " " + args + " <" + base + ".in >" + base + ".out 2>" + base + ".err";
  const int raw = std::system(command.c_str());
  auto slurp = [&](const char* suffix) {
    std::ifstream f(base + suffix);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    fs::remove(base + suffix);
    return text;
  };
  slurp(".in");
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(".out"), slurp(".err")};
}

// quillon-card ARGS with its standard input and output on pipes; the test fails
// unless it exits with 0 once its input is closed, at destruction.
class CardProcess {
 public:
  explicit CardProcess(std::vector<std::string> args) {
    int in[2], out[2];  // close-on-exec: the child keeps only its standard input and output
    EXPECT_TRUE(pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0);
    args.insert(args.begin(), QUILLON_CARD);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = fork()) == 0) {
      if (dup2(in[0], 0) == 0 && dup2(out[1], 1) == 1) execv(QUILLON_CARD, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = fdopen(in[1], "w");
    fromChild_ = fdopen(out[0], "r");
  }
  ~CardProcess() {
    std::fclose(toChild_);
    std::fclose(fromChild_);
    int status = 0;
    waitpid(pid_, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  // Sends one command and waits for its answer line (without the newline).
  std::string exchange(const std::string& command) {
    send(command);
    return receive();
  }
  void send(const std::string& commands) {
    std::fputs((commands + "\n").c_str(), toChild_);
    std::fflush(toChild_);
  }
  std::string receive() {
    char line[2048];
    if (std::fgets(line, sizeof line, fromChild_) == nullptr) return "<no answer>";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

 private:
  pid_t pid_ = 0;
  std::FILE* toChild_ = nullptr;
  std::FILE* fromChild_ = nullptr;
};

// The read end of a pipe that holds `text` and then ends (the text fits the pipe).
FileHandle pipeWith(const std::string& text) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  FileHandle in(fds[0]), out(fds[1]);
  if (::write(out.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("write to a pipe failed");
  return in;
}

TEST(ApduShell, AnswersEveryCommandOnItsOwnLineAndStopsAtALineThatIsNotHex) {
  std::string script = "# personalisation\n\n", answers = "62088201388C03033030 9000\n";
  for (const auto& command : personalisationScript()) script += command + "   # a comment\n";
  for (std::size_t i = 1; i < personalisationScript().size(); ++i) answers += "9000\n";
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  FileHandle in = pipeWith(script + "00CB3FFF045C027F71\n00 20 00 80 04 39 39 39 39\n");
  std::ostringstream out, err;
  EXPECT_EQ(cli::runApduShell(runtime, in.get(), out, err), cli::kExitOk);
  EXPECT_EQ(out.str(), answers + "7F7106970103930103 9000\n63C2\n");
  EXPECT_EQ(err.str(), "");

  FileHandle bad = pipeWith("00A4000C023FFF\n\n00A4 00 0C 02 3F FG\n00A4000C023FFF\n");
  std::ostringstream badOut, badErr;
  EXPECT_EQ(cli::runApduShell(runtime, bad.get(), badOut, badErr), cli::kExitFailure);
  EXPECT_EQ(badOut.str(), "9000\n");
  EXPECT_EQ(badErr.str(), "quillon-card: line 3: not a command in hexadecimal digits\n");
  FileHandle tooLong = pipeWith(std::string(513 * 2, '0') + "\n");
  std::ostringstream err2;
  EXPECT_EQ(cli::runApduShell(runtime, tooLong.get(), badOut, err2), cli::kExitFailure);
  EXPECT_NE(err2.str().find("line 1: a command of 513 bytes"), npos);
  FileHandle endless = pipeWith(std::string(20000, '0'));
  std::ostringstream err3;
  EXPECT_EQ(cli::runApduShell(runtime, endless.get(), badOut, err3), cli::kExitFailure);
  EXPECT_EQ(err3.str(), "quillon-card: line 1: the line is too long\n");
}

TEST(QuillonCardApdu, ReadsAScriptFile) {
  const CardRun r =
      runCard("apdu /dev/stdin", "# a fresh card\n\n00A4040C09A0000003974254465900  # SELECT\n00CB3FFF045C027F71\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "9000\n7F7106970103930103 9000\n");
  EXPECT_EQ(runCard("apdu /nonexistent").status, 1);
  EXPECT_EQ(runCard("frobnicate").status, 2);
  EXPECT_EQ(runCard("apdu --help").status, 0);
}

class CliRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(drive);
    fs::create_directories(dir);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
  }
  // quillon-card against the fixture tree, with no pcscd to reach.
  CardRun card(const std::string& args, const std::string& input = "") {
    return runCard(args, input,
                   "PCSCLITE_CSOCK_NAME=" + (tree.root() / "no-pcscd.comm").string() + " QUILLON_PROC_ROOT=" +
                       (tree.root() / "proc").string() + " QUILLON_SYS_ROOT=" + tree.sys().string());
  }
  // The directory with an identity, standing in for a drive.
  std::string target(const char* identity = kIdentity) { return "--dir " + dir.string() + " --identity " + identity; }
  CardRun init(const std::string& where, const std::string& pin = "2468") {
    return card("init " + where + " --pin-fd 0 --admin-key-fd 0", pin + "\n" + kKey + "\n");
  }

  SysfsTree tree;
  const fs::path drive = tree.root() / "media" / "STICK", dir = tree.root() / "plain";
};

TEST_F(CliRoadTest, InitThenUseThenDecrypt) {
  const CardRun created = init(target() + " --no-reader --serial 00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_NE(created.out.find("serial number 00112233445566778899AABBCCDDEEFF"), npos);
  const CardRun used =
      card("apdu " + target(), "00A4040C09A0000003974254465900\n00200080043234363800\n00CBA012045C02DF2000\n");
  EXPECT_EQ(used.out, "9000\n9000\nDF201000112233445566778899AABBCCDDEEFF 9000\n") << used.err;

  // The administrator authenticates with the key given at init, in one session,
  // and resets the PIN; the stored card keeps the new PIN.
  {
    CardProcess session({"apdu", "--dir", dir.string(), "--identity", kIdentity});
    EXPECT_EQ(session.exchange("002281A403830180"), "9000");
    const std::string challenge = session.exchange("00870000047C02810000");
    ASSERT_EQ(challenge.size(), 2u * 12 + 5);
    const Bytes response = tdesCbc(fromHex(kKey), fromHex(challenge.substr(8, 16)), true);
    EXPECT_EQ(session.exchange("008700000C7C0A8208" + toHex(response)), "9000");
    EXPECT_EQ(session.exchange("002C02800431313131"), "9000");
  }
  EXPECT_EQ(card("apdu " + target(), "002000800431313131\n").out, "9000\n");

  // Another device's identity opens nothing and changes nothing.
  const auto before = readFileBytes((dir / "Quillon2.bin").string());
  const CardRun stranger = card("apdu " + target("ACME:STICK:1.00:SN0002"), "0020008004323436 38\n");
  EXPECT_EQ(stranger.status, 1);
  EXPECT_NE(stranger.err.find("cannot be opened: it belongs to another USB stick, or it is damaged"), npos)
      << stranger.err;
  EXPECT_EQ(readFileBytes((dir / "Quillon2.bin").string()), before);
  const CardRun strangerDump = card("decrypt " + target("ACME:STICK:1.00:OTHER"));
  EXPECT_EQ(strangerDump.status, 1);
  EXPECT_NE(strangerDump.err.find("it belongs to another USB stick, or it is damaged"), npos) << strangerDump.err;

  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  const CardRun decrypted = card("decrypt " + target());
  fs::current_path(cwd);
  EXPECT_EQ(decrypted.status, 0) << decrypted.err;
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.bin"));
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.xml.txt"));
}

// A container of `xml` sealed for the device of `identity`.
Bytes sealedFor(const DeviceIdentity& identity, const std::string& xml) {
  std::uint8_t key[32];
  EXPECT_TRUE(container::DeriveDeviceKey(identity, key));
  ossl::SecureBytes compressed;
  EXPECT_EQ(container::CabinetCompress(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), compressed), 0u);
  Bytes blob;
  EXPECT_EQ(container::AesGcmEncrypt(key, compressed.data(), compressed.size(), blob), 0u);
  return blob;
}

// Out-of-range stored values: apdu and decrypt name the element and the value,
// the reader refuses to serve the card, and the file stays as it was.
TEST_F(CliRoadTest, OutOfRangeValuesInTheStoredStateAreRefusedByName) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  personaliseCard(runtime);
  const auto xml = FilePersist::snapshotHeap(runtime);
  ASSERT_TRUE(xml);
  const std::string document(xml->begin(), xml->end());
  platform::DeviceDetails details;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::GetDeviceDetails(tree.paths(), drive.string(), details, error)) << error;
  const DeviceIdentity stick{details.vendor, details.product, details.revision, details.serial};
  const DeviceIdentity given{"ACME", "STICK", "1.00", "SN0001"};  // kIdentity

  const struct {
    const char *from, *to, *said;
  } cases[] = {
      {"triesRemaining=\"3\"", "triesRemaining=\"12\"", "OwnerPIN: triesRemaining holds 12, past its limit tryLimit 3"},
      {"fileID=\"16128\" state=\"7\" childCount=\"7\"", "fileID=\"16128\" state=\"7\" childCount=\"256\"",
       "GidsFileSystem: childCount holds 256, past its limit 255"},
      {"<BerTlvFile type=\"1\"", "<BerTlvFile type=\"9\"", "BerTlvFile: type holds 9, which is no kind of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    std::string hostile = document;
    const std::size_t at = hostile.find(c.from);
    ASSERT_NE(at, npos);
    hostile.replace(at, std::strlen(c.from), c.to);
    const Bytes stored = sealedFor(given, hostile);
    writeFileBytes(dir / "Quillon2.bin", stored);
    writeFileBytes(drive / "Quillon2.bin", sealedFor(stick, hostile));

    const CardRun used = card("apdu " + target(), "00A4040C09A0000003974254465900\n");
    EXPECT_EQ(used.status, 1);
    EXPECT_EQ(used.out, "");
    EXPECT_NE(used.err.find("cannot be opened: its state is damaged: element GidsApplet/"), npos) << used.err;
    EXPECT_NE(used.err.find(c.said), npos) << used.err;
    const CardRun dumped = card("decrypt " + target());
    EXPECT_EQ(dumped.status, 1);
    EXPECT_NE(dumped.err.find(c.said), npos) << dumped.err;
    EXPECT_EQ(card("apdu --drive " + drive.string(), "00A4040C09A0000003974254465900\n").status, 1);
    EXPECT_EQ(readFileBytes((dir / "Quillon2.bin").string()), stored);

    std::string reason;
    std::unique_ptr<reader::ServedCard> served;
    EXPECT_NO_THROW(served = reader::ServedCard::load(tree.paths(), drive.string(), reason));
    EXPECT_EQ(served, nullptr);
    EXPECT_NE(reason.find(c.said), npos) << reason;
  }
}

// A container the user may not read is not taken for a damaged one (as nobody:
// root reads any file).
TEST_F(CliRoadTest, AContainerTheUserMayNotReadIsSaidToBeSo) {
  const ScratchDir open;
  fs::permissions(open.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const std::string where = "--dir " + open.path().string() + " --identity " + kIdentity;
  ASSERT_EQ(init(where + " --no-reader").status, 0);
  fs::permissions(open.path() / "Quillon2.bin", fs::perms::none);
  const std::string asUser = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  for (const std::string& command : {"apdu " + where, "decrypt " + where}) {
    const CardRun r = runCard(command, "00A4040C09A0000003974254465900\n", asUser);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot be opened: permission to read it was denied"), npos) << r.err;
  }
}

TEST_F(CliRoadTest, InputChecksAndExitCodes) {
  const std::string road = target() + " --no-reader";
  CardRun r = card("init " + road);  // no terminal, no secrets given
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no PIN"), npos);
  r = init(road, "12");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("The PIN must be between 4 and 16 digits long."), npos);
  r = init(road, "7931");  // the default PIN asks; without a terminal the run stops
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Warning: you should change the default PIN. Continue?"), npos);
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  r = init(road, "1234");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("note:"), npos);
  EXPECT_EQ(init(road, "5678").status, 3);        // a container exists now
  r = init(road + " --yes", "5678901234567890");  // the longest PIN works, but OpenSC refuses it
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("take PINs of at most 15 digits"), npos);
  EXPECT_EQ(card("apdu " + target(), "002000801035363738393031323334353637383930\n").out, "9000\n");

  EXPECT_EQ(card("init --dir " + dir.string()).status, 2);                         // no identity
  EXPECT_EQ(card("init " + dir.string() + " --identity " + kIdentity).status, 2);  // identity without --dir
  EXPECT_EQ(card("init " + target() + " --pin 1234").status, 2);                   // no secrets on the line
  EXPECT_EQ(card("apdu --dir /nonexistent --identity " + std::string(kIdentity), "00A4000C023FFF\n").status, 1);
  r = card("apdu " + dir.string(), "00A4000C023FFF\n");  // a directory is no script
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Is a directory"), npos);
  // Each secret from one source only.
  r = card("init " + road + " --pin-file /dev/null --pin-fd 0 --admin-key-fd 0");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("give --pin-file or --pin-fd, not both"), npos);
  EXPECT_EQ(card("init " + road + " --pin-fd 0 --admin-key-fd 0 --admin-key-file /dev/null").status, 2);

  // Identities that no USB device reports, each refused with its reason.
  const std::pair<std::string, const char*> identities[] = {
      {"'ACME:STICK:1.00'", "must be VENDOR:PRODUCT:REVISION:SERIAL"},
      {"'ACME:STI\nCK:1.00:SN'", "not printable ASCII"},  // the shell passes both bytes as they are
      {"'ACME:ST\xc3\xa9"
       "CK:1.00:SN'",
       "not printable ASCII"},
      {"'ACME :STICK:1.00:SN'", "the vendor ends with a blank"},
      {"'ACME:STICK:1.00:SN '", "the serial number ends with a blank"},
      {"ACME:STICK:1.00:" + std::string(244, 'S'), "longer than the 259 characters"}};
  for (const auto& [identity, reason] : identities) {
    r = card("init --dir " + dir.string() + " --identity " + identity + " --no-reader");
    EXPECT_EQ(r.status, 2) << identity;
    EXPECT_NE(r.err.find(reason), npos) << identity << ": " << r.err;
  }
  // The longest identity and a leading blank, which a device's strings keep, are taken.
  EXPECT_EQ(card("apdu --dir " + dir.string() + " --identity ACME:STICK:1.00:" + std::string(243, 'S'),
                 "00A4040C09A0000003974254465900\n")
                .err.find("--identity"),
            npos);
  EXPECT_EQ(card("apdu --dir " + dir.string() + " --identity ' ACME:STICK:1.00:SN'", "").err.find("--identity"), npos);
  EXPECT_EQ(card("list --help").status, 0);
}

TEST_F(CliRoadTest, InitNeedsAVolumeTheReaderCanServeAndTheService) {
  CardRun r = card("init " + target());  // refused before the secrets are read: no input needed
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is not the mount point of a volume that the virtual reader can serve"), npos);
  EXPECT_EQ(r.err.find("PIN"), npos);
  r = init(drive.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), npos);
  EXPECT_NE(r.err.find("0x8010001D - The Smart Card Resource Manager is not running."), npos);
  EXPECT_FALSE(fs::exists(drive / "Quillon2.bin"));

  // The same stick prepared for another computer: its own identity from sysfs.
  r = init(drive.string() + " --no-reader");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("virtual reader"), npos);
  r = card("apdu --drive " + drive.string(), "00A4040C09A0000003974254465900\n002000800432343638\n");
  EXPECT_EQ(r.out, "9000\n9000\n") << r.err;
}

TEST_F(CliRoadTest, BlankCardAndClearWithoutTheReader) {
  EXPECT_EQ(card("init --blank " + target() + " --no-reader --pin-fd 0").status, 2);
  EXPECT_EQ(card("init --blank " + target()).status, 2);  // no volume for the reader
  CardRun r = card("init --blank " + target() + " --no-reader");
  ASSERT_EQ(r.status, 0) << r.err;
  // Still in its initialisation phase: the administrator key can be set
  // without any authentication, as a personalisation tool does.
  r = card("apdu " + target(),
           "00A4040C09A0000003974254465900\n00E000001C621A82011883 02B0808C04870020FFA50BA40980010283018095 01C0\n");
  EXPECT_EQ(r.out, "9000\n9000\n") << r.err;
  EXPECT_EQ(card("init --blank " + target() + " --no-reader").status, 3);  // a container exists now
  EXPECT_EQ(card("init --blank " + target() + " --no-reader --yes").status, 0);
  r = card("init --blank " + drive.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), npos);
  EXPECT_FALSE(fs::exists(drive / "Quillon2.bin"));

  std::ofstream(drive / "Quillon2.bin") << "card";
  r = card("clear " + drive.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), npos);
  EXPECT_TRUE(fs::exists(drive / "Quillon2.bin"));
  EXPECT_EQ(card("clear").status, 2);
  EXPECT_EQ(card("clear --force " + drive.string()).status, 2);
  r = card("clear ''");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("No drive has been selected."), npos);
  r = card("clear --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: quillon-card clear DRIVE\n", 0), 0u);
}

class SharedCardTest : public CliRoadTest {
 protected:
  void SetUp() override {
    CliRoadTest::SetUp();
    ASSERT_EQ(init(target() + " --no-reader").status, 0);
  }
};

TEST_F(SharedCardTest, WrongPinsFromSessionsAtOnceAreEachCountedAgainstTheTryLimit) {
  // Eight sessions of two wrong PINs each: three are counted, one per answer,
  // and the rest find the PIN blocked.
  std::vector<std::unique_ptr<CardProcess>> sessions;
  for (int i = 0; i < 8; ++i)
    sessions.push_back(std::make_unique<CardProcess>(
        std::vector<std::string>{"apdu", "--dir", dir.string(), "--identity", kIdentity}));
  for (auto& session : sessions) session->send("002000800439393939\n002000800439393939");
  std::vector<std::string> answers;
  for (auto& session : sessions)
    for (int i = 0; i < 2; ++i) answers.push_back(session->receive());
  std::sort(answers.begin(), answers.end());
  std::vector<std::string> expected{"63C0", "63C1", "63C2"};
  expected.insert(expected.end(), 13, "6983");
  EXPECT_EQ(answers, expected);
  EXPECT_EQ(card("apdu " + target(), "00200080043234363800\n").out, "6983\n");  // the right PIN: blocked
}

TEST_F(SharedCardTest, TwoSessionsWritingKeepBothWritesAndSeeEachOthersChangesAsAReset) {
  CardProcess first({"apdu", "--dir", dir.string(), "--identity", kIdentity});
  CardProcess second({"apdu", "--dir", dir.string(), "--identity", kIdentity});
  for (CardProcess* session : {&first, &second}) {
    EXPECT_EQ(session->exchange("00A4040C09A0000003974254465900"), "9000");
    EXPECT_EQ(session->exchange("002000800432343638"), "9000");
  }
  EXPECT_EQ(first.exchange("00DBA01007DF240411111111"), "9000");
  // The second session's card was written behind its back: it is read again,
  // as after a reset, and the PIN is no longer verified.
  EXPECT_EQ(second.exchange("00DBA01307DF400422222222"), "6982");
  EXPECT_EQ(second.exchange("002000800432343638"), "9000");
  EXPECT_EQ(second.exchange("00DBA01307DF400422222222"), "9000");
  EXPECT_EQ(first.exchange("00CBA013045C02DF4000"), "6982");  // and so the first one's
  EXPECT_EQ(card("apdu " + target(), "002000800432343638\n00CBA010045C02DF2400\n00CBA013045C02DF4000\n").out,
            "9000\nDF240411111111 9000\nDF400422222222 9000\n");
}

TEST_F(SharedCardTest, ACardLockedByAnotherProgramIsWaitedForFiveSeconds) {
  const auto before = readFileBytes((dir / "Quillon2.bin").string());
  HeldDriveLock held(dir);
  const auto start = std::chrono::steady_clock::now();
  const CardRun r = card("apdu " + target(), "002000800439393939\n");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("the card is in use by another program"), npos) << r.err;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(10));
  // A new card waits as long and says the same; the old one stays.
  const CardRun created = init(target() + " --no-reader --yes", "1357");
  EXPECT_EQ(created.status, 1);
  EXPECT_NE(created.err.find("the card is in use by another program"), npos) << created.err;
  EXPECT_EQ(readFileBytes((dir / "Quillon2.bin").string()), before);
}

}  // namespace
}  // namespace quillon::test

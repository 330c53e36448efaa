// quillon-card's commands on an existing card, through the virtual reader in a
// private pcscd, checked against what OpenSC's tools see. A stick prepared
// without the reader is served after insert and let go by eject (its container
// kept); insert refuses a drive without a card, a card sealed for another stick,
// and a second stick while the reader serves the first. info reports what
// pkcs15-tool reports. change-pin, unblock-pin and change-admin-key change what
// OpenSC and gids-tool then accept. After each command, another PC/SC client
// finds neither the PIN nor the administrator right open: the operation ran in a
// transaction that reset the card. A --drive naming the served stick goes
// through the reader (pcscd sees the transaction).
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CardUserTest.h"

namespace quillon::test {
namespace {

constexpr const char* kNewPin = "24682468";
constexpr const char* kUnblockedPin = "13571357";

// The second stick: sdc, with its own serial number, mounted beside the first.
constexpr const char* kOtherMount = "41 26 8:33 / %s rw,nosuid,nodev,relatime shared:41 - vfat /dev/sdc1 rw\n";

class CardCommandsTest : public CardUserTest {
 protected:
  // quillon-card ARGS with the secrets given, in order, as files; the files go afterwards.
  ProcessResult cardWith(std::vector<std::string> args,
                         const std::vector<std::pair<std::string, std::string>>& secrets) {
    std::vector<fs::path> files;
    for (const auto& [option, value] : secrets) {
      files.push_back(world.writeFile("secret" + std::to_string(files.size()), value + "\n"));
      args.insert(args.end(), {option, files.back().string()});
    }
    const ProcessResult r = card(args);
    for (const fs::path& f : files) fs::remove(f);
    return r;
  }
  // Runs `command` while another PC/SC client holds its connection to the card
  // (so that pcscd does not power the card down in between); afterwards that
  // client finds neither the PIN's right (CHANGE REFERENCE DATA with the new value
  // only) nor the administrator's (RESET RETRY COUNTER) open. Each would set `pin`
  // again, were the right open.
  void expectNoRightOpenAfter(const std::string& pin, const char* what, const std::function<void()>& command) {
    char length[4];
    std::snprintf(length, sizeof length, "%02zX", pin.size());
    std::string data;
    for (const char digit : pin) data += " 3" + std::string(1, digit);
    const fs::path go = file("go"), log = file("holder.log");
    fs::remove(go);
    fs::remove(log);
    {
      Child holder({QUILLON_PCSC_HOLDER, CardWorld::kReaderName, go.string(), kSelectGidsApdu,
                    "00 24 01 80 " + std::string(length) + data, "00 2C 02 80 " + std::string(length) + data},
                   world.environment(), log.string());
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (holder.running() && readText(log).find("connected") == npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ASSERT_NE(readText(log).find("connected"), npos) << readText(log);
      command();
      std::ofstream(go.string()) << "go";
      while (holder.running() && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string answers = readText(log);
    EXPECT_TRUE(answers.ends_with("9000\n6982\n6982\n")) << "after " << what << ":\n" << answers;
  }
  static std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  ProcessResult login(const std::string& pin) { return pkcs11({"--login", "--pin", pin, "--list-objects"}); }
  std::string dump() { return run({"pkcs15-tool", "--dump"}).output; }
  long transactionsSeen() {
    const std::string log = world.pcscd().log();
    long count = 0;
    for (std::size_t at = log.find("BEGIN_TRANSACTION"); at != npos; at = log.find("BEGIN_TRANSACTION", at + 1))
      ++count;
    return count;
  }
  // The second stick, mounted; its mount point.
  fs::path plugSecondStick() {
    SysfsTree::Stick other = SysfsTree::stickAt("sdc", 32, 7);
    other.serial = "4F5448455231\n";
    world.stick().tree().addUsbStick(other);
    const fs::path dir = world.stick().tree().root() / "media" / "OTHER";
    fs::create_directories(dir);
    char line[512];
    std::snprintf(line, sizeof line, kOtherMount, dir.c_str());
    world.stick().setMounts(world.drive(), line);
    return dir;
  }
  void prepareWithoutReader(const fs::path& drive, const char* serial) {
    const ProcessResult r = cardWith({"init", drive.string(), "--no-reader", "--serial", serial, "--yes"},
                                     {{"--pin-file", kPin}, {"--admin-key-file", kAdminKey}});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }
};

TEST_F(CardCommandsTest, AStickPreparedElsewhereIsServedAfterInsertAndLetGoByEject) {
  ASSERT_NO_FATAL_FAILURE(prepareWithoutReader(world.drive(), kSerial));
  ASSERT_TRUE(waitForCard(false));
  ProcessResult r = card({"info", "--json"});
  EXPECT_EQ(r.exitCode, 6) << r.output;
  EXPECT_NE(r.output.find("\"reader\": \"" + std::string(CardWorld::kReaderName) + "\""), npos) << r.output;
  EXPECT_NE(r.output.find("\"cardPresent\": false"), npos) << r.output;

  const fs::path other = plugSecondStick();
  r = card({"insert", other.string()});  // no container there
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("There is no card on " + other.string()), npos) << r.output;
  fs::copy_file(world.stick().containerPath(), other / "Quillon2.bin");  // sealed for the first stick
  r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_NE(r.output.find("does not open with this stick's identity"), npos) << r.output;
  EXPECT_TRUE(waitForCard(false));

  r = card({"insert", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 00112233445566778899aabbccddeeff"), npos);

  // The served stick named with --drive: the commands go through the reader.
  const long before = transactionsSeen();
  const fs::path script = world.writeFile("script", std::string(kSelectGidsApdu) + "\n00 20 00 80 04 31 32 33 34\n");
  expectNoRightOpenAfter(kPin, "apdu --drive", [&] {
    r = card({"apdu", "--drive", world.drive().string(), script.string()});
  });
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("9000\n9000\n"), npos) << r.output;
  EXPECT_GT(transactionsSeen(), before) << "apdu --drive did not use the reader";

  // The reader serves the first stick: the second one's card is refused, naming the first.
  prepareWithoutReader(other, kOtherSerial);
  r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 3) << r.output;
  EXPECT_NE(r.output.find("mounted at " + world.drive().string()), npos) << r.output;
  EXPECT_NE(r.output.find("Eject it first"), npos) << r.output;
  EXPECT_NE(dump().find("Serial number  : 00112233445566778899aabbccddeeff"), npos);

  r = card({"eject"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(waitForCard(false));
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  EXPECT_EQ(card({"info"}).exitCode, 6);
  r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), npos);
}

TEST_F(CardCommandsTest, InfoReportsWhatOpenScReports) {
  initCard();
  ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
  ProcessResult r =
      run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", file("issuer.pem").string(), "-subj",
           "/CN=Quillon info", "-days", "2", "-outform", "DER", "-out", file("cert.der").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = pkcs11({"--login", "--pin", kPin, "--write-object", file("cert.der").string(), "--type", "cert", "--id", "00"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(login("9999").exitCode, 0);  // one try gone

  const std::string opensc = dump();
  for (const char* text : {"Serial number  : 00112233445566778899aabbccddeeff", "Tries left     : 2", "Private RSA Key",
                           "X.509 Certificate"})
    ASSERT_NE(opensc.find(text), npos) << text << " in:\n" << opensc;
  expectNoRightOpenAfter(kPin, "info", [&] { r = card({"info", "--json"}); });
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const std::string& text :
       std::vector<std::string>{"\"reader\": \"" + std::string(CardWorld::kReaderName) + "\"", "\"cardPresent\": true",
                                "\"serial\": \"" + std::string(kSerial) + "\"", "\"pinTriesLeft\": 2",
                                "\"pinBlocked\": false", "\"initialisationPhase\": false", "\"keyExchangeBits\": 2048",
                                "\"valid\": true", "\"subject\": \"CN = Quillon info\"", "\"keyBits\": 2048"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;
  r = card({"info"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("PIN:             2 tries left"), npos) << r.output;
}

TEST_F(CardCommandsTest, PinAndAdministratorKeyChangeWhatOpenScAccepts) {
  initCard();
  ProcessResult r = cardWith({"change-pin"}, {{"--pin-file", "9999"}, {"--new-pin-file", kNewPin}});
  EXPECT_EQ(r.exitCode, 4) << r.output;
  EXPECT_NE(r.output.find("2 tries left"), npos) << r.output;
  expectNoRightOpenAfter(kNewPin, "change-pin", [&] {
    r = cardWith({"change-pin"}, {{"--pin-file", kPin}, {"--new-pin-file", kNewPin}});
  });
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(login(kPin).exitCode, 0);
  EXPECT_EQ(login(kNewPin).exitCode, 0);

  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_NE(login("9999").exitCode, 0);
  EXPECT_NE(login(kNewPin).output.find("CKR_PIN_LOCKED"), npos);
  // The counter lives in the container: still blocked after pcscd restarts.
  world.pcscd().restart();
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Tries left     : 0"), npos);
  r = cardWith({"change-pin"}, {{"--pin-file", kNewPin}, {"--new-pin-file", kPin}});
  EXPECT_EQ(r.exitCode, 5) << r.output;
  EXPECT_NE(card({"info", "--json"}).output.find("\"pinBlocked\": true"), npos);
  r = cardWith({"unblock-pin"}, {{"--admin-key-file", kOtherAdminKey}, {"--new-pin-file", kUnblockedPin}});
  EXPECT_EQ(r.exitCode, 4) << r.output;
  expectNoRightOpenAfter(kUnblockedPin, "unblock-pin", [&] {
    r = cardWith({"unblock-pin"}, {{"--admin-key-file", kAdminKey}, {"--new-pin-file", kUnblockedPin}});
  });
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(dump().find("Tries left     : 3"), npos);
  EXPECT_EQ(login(kUnblockedPin).exitCode, 0);

  expectNoRightOpenAfter(kUnblockedPin, "change-admin-key", [&] {
    r = cardWith({"change-admin-key"}, {{"--admin-key-file", kAdminKey}, {"--new-admin-key-file", kOtherAdminKey}});
  });
  EXPECT_EQ(r.exitCode, 0) << r.output;
  // gids-tool exits 0 when the card refuses: its messages tell.
  r = run({"gids-tool", "--unblock", "--admin-key", kAdminKey, "--pin", kPin});
  EXPECT_NE(r.output.find("SC_CARDCTL_GIDS_AUTHENTICATE_ADMIN, *) failed"), npos) << r.output;
  EXPECT_EQ(r.output.find("Unblock PIN done successfully"), npos) << r.output;
  r = run({"gids-tool", "--unblock", "--admin-key", kOtherAdminKey, "--pin", kPin});
  EXPECT_NE(r.output.find("Unblock PIN done successfully"), npos) << r.output;
  EXPECT_EQ(r.output.find("failed"), npos) << r.output;
  EXPECT_EQ(login(kPin).exitCode, 0);
  r = pkcs11({"--login", "--pin", kPin, "--change-pin", "--new-pin", "86428642"});
  EXPECT_NE(r.output.find("PIN successfully changed"), npos) << r.output;
  EXPECT_NE(login(kPin).exitCode, 0);

  // The served stick named with --drive is the reader's card too.
  const long before = transactionsSeen();
  r = cardWith({"change-pin", "--drive", world.drive().string()},
               {{"--pin-file", "86428642"}, {"--new-pin-file", kNewPin}});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_GT(transactionsSeen(), before);
  EXPECT_EQ(login(kNewPin).exitCode, 0);
}

}  // namespace
}  // namespace quillon::test

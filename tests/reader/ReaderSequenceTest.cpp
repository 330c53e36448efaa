// Reader sequences as pcscd and the world drive them, from data files
// (tests/data/reader/*.seq): each "case" starts on a fresh stick and reader, one
// step a line, each step checking what it says. See swallow-eject.seq for the steps.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ReaderFixture.h"
#include "reader/StateFile.h"
#include "support/CapturingSink.h"
#include "support/TempDir.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

const std::map<std::string, RESPONSECODE> kCodes = {{"ok", IFD_SUCCESS},
                                                    {"absent", IFD_ICC_NOT_PRESENT},
                                                    {"unserved", IFD_ERROR_POWER_ACTION},
                                                    {"error", IFD_COMMUNICATION_ERROR}};

class Sequence : public ReaderFixture {
 public:
  void TestBody() override {}

  // One step; `in` holds its arguments.
  void step(const std::string& verb, std::istringstream& in) {
    std::string a, b;
    in >> a >> b;
    const bool yes = a == "yes" || a == "ok";
    if (verb == "create") {  // create [other | second]: another identity's card, or the second stick's own
      const DeviceIdentity other{"OTHER", "Pocket Drive", "1.00", "4C5399999999"};
      world.createCard(a == "other" ? &other : nullptr, a == "second" ? second() : fs::path());
    } else if (verb == "swallow") {
      EXPECT_EQ(swallow(path(a)), b == "ok");
    } else if (verb == "eject" || verb == "present" || verb == "powered") {
      EXPECT_EQ(verb == "eject" ? reader->eject() : verb == "present" ? reader->present() : reader->powered(), yes);
    } else if (verb == "power") {
      EXPECT_EQ(powerUp(), kCodes.at(a));
    } else if (verb == "wait") {  // wait <timeout ms> <under|atleast> <ms> <step | ->: a wait across the step
      std::string bound, rest;
      in >> bound;
      std::getline(in >> std::ws, rest);
      const auto took = waitAcross(
          [&] {
            std::istringstream words(rest);
            std::string inner;
            if (words >> inner && inner != "-") step(inner, words);
          },
          std::chrono::milliseconds(std::stoi(a)));
      const std::chrono::milliseconds ms(std::stoi(bound));
      EXPECT_TRUE(b == "under" ? took < ms : took >= ms)
          << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    } else if (verb == "stop" || verb == "powerdown") {
      verb == "stop" ? reader->stopWaiting() : reader->powerDown();
    } else if (verb == "sizelimit") {  // sizelimit <bytes | off>
      limit.reset();
      if (a != "off") limit.emplace(std::stoul(a));
    } else if (verb == "send") {  // send <hex> <SW | absent | error>
      const Answer answer = send(a == "-" ? "" : unescape(a));
      if (kCodes.count(b) != 0) {
        EXPECT_EQ(answer.rc, kCodes.at(b));
      } else {
        EXPECT_EQ(answer.rc, IFD_SUCCESS);
        EXPECT_EQ(answer.sw, std::stoul(b, nullptr, 16));
      }
    } else if (verb == "volume") {  // stick (where it is now), marked, none
      EXPECT_EQ(reader->volume(), a == "none" ? "" : a == "marked" ? marked : world.devicePath());
    } else if (verb == "mark") {
      marked = world.devicePath();
      bytes = world.containerBytes();
    } else if (verb == "bytes") {  // the container as at "mark", or not
      EXPECT_EQ(world.containerBytes() == bytes, a == "same");
    } else if (verb == "mounts" || verb == "mountanew") {  // the stick (always, anew) and others
      fs::path dir;
      std::string extra;
      for (std::string token = a + " " + b; !token.empty();) {
        const std::string item = token.substr(0, token.find(' '));
        token.erase(0, item.size() + 1);
        if (item == "stick") dir = world.mountDir();
        if (item == "whole") extra += "40 26 8:16 / " + world.mountDir().string() + " rw - vfat /dev/sdb rw\n";
        if (item == "stick@second") extra += "41 26 8:17 / " + second().string() + " rw - vfat /dev/sdb1 rw\n";
        if (item.starts_with("second"))
          extra += (item.size() > 7 ? item.substr(7) : "41") + " 26 8:33 / " + second().string() +
                   " rw - vfat /dev/sdc1 rw\n";
      }
      if (verb == "mountanew")
        world.mountAnew(extra);
      else
        world.setMounts(dir, extra);
    } else if (verb == "second") {  // second <twin | other>: stick sdc, its card at media/SECOND
      SysfsTree::Stick stick = SysfsTree::stickAt("sdc", 32, 8);
      if (a == "other") stick.serial = "4C5309999999\n";
      world.tree().addUsbStick(stick);
      fs::create_directories(second());
      if (a == "twin") fs::copy_file(world.containerPath(), second() / "Quillon2.bin");
    } else if (verb == "remember") {  // a state file of the first format naming a volume
      ASSERT_EQ(reader::StateFile(world.statePath().string()).remember({path(a), std::nullopt}), 0);
    } else if (verb == "blockstate") {  // a directory where the state file goes
      fs::create_directories(world.statePath());
    } else if (verb == "remount") {
      world.remountAt(world.tree().root() / a);
    } else if (verb == "replug") {  // replug <SCSI host> [serial | noserial]
      SysfsTree::Stick stick;
      stick.scsiHost = std::stoi(a);
      if (b == "noserial") stick.serial.reset();
      if (!b.empty() && b != "noserial") stick.serial = b + "\n";
      world.replug(stick);
    } else if (verb == "reopen") {
      openReader();
    } else if (verb == "rm") {
      ASSERT_TRUE(fs::remove(world.containerPath()));
    } else if (verb == "putback") {  // the container as at "mark", renamed over the current one
      writeFileBytes(world.tree().root() / "old.bin", bytes);
      fs::rename(world.tree().root() / "old.bin", world.containerPath());
    } else if (verb == "write") {  // write <empty | garbage | flipped | half | link | dir>
      Bytes content = world.containerBytes();
      fs::remove(world.containerPath());
      if (a == "dir") return (void)fs::create_directory(world.containerPath());
      if (a == "link") {  // a good container, behind a link
        writeFileBytes(world.mountDir() / "elsewhere.bin", content);
        return fs::create_symlink(world.mountDir() / "elsewhere.bin", world.containerPath());
      }
      if (a == "flipped") content[content.size() / 2] ^= 0x01;
      if (a == "half") content.resize(content.size() / 2);
      if (a == "empty") content.clear();
      if (a == "garbage") content.assign(4096, 0xA5);
      writeFileBytes(world.containerPath(), content);
    } else if (verb == "fixeddisk") {  // a fixed disk's partition mounted beside the stick
      world.tree().addFixedDisk("sda", 8, 0);
      world.setMounts(world.mountDir(),
                      "41 26 8:1 / " + world.tree().root().string() + "/fixed rw - ext4 /dev/sda1 rw\n");
    } else if (verb == "readonly") {  // the partition alone
      world.tree().writeSys(fs::path(world.devicePath()).lexically_relative(world.tree().sys()) / "ro", "1\n");
    } else if (verb == "state") {  // state <none | stick | empty> [ejected mounts]
      reader::RememberedVolume state;
      ASSERT_EQ(reader::StateFile(world.statePath().string()).load(state), 0);
      EXPECT_EQ(state.devicePath, a == "stick" ? world.devicePath() : "");
      EXPECT_EQ(fs::exists(world.statePath()), a != "none");
      EXPECT_EQ(state.identity.has_value(), a == "stick");
      EXPECT_EQ(b.empty() || state.ejected.size() == std::stoul(b), true) << state.ejected.size() << " ejected";
    } else if (verb == "log") {  // log <count> <text to the end of the line>
      std::string text;
      std::getline(in >> std::ws, text);
      text = b + (text.empty() ? "" : " " + text);
      if (const std::size_t at = text.find("ROOT"); at != std::string::npos)  // the fixture's root directory
        text.replace(at, 4, world.tree().root().string());
      EXPECT_EQ(capture.sink().count(text), std::stoul(a)) << text;
    } else {
      FAIL() << "unknown step " << verb;
    }
  }

  std::string path(const std::string& name) {
    const fs::path sys = world.tree().sys();
    if (name == "marked") return marked;
    if (name == "link") return (sys / "dev/block/8:17").string();
    if (name == "dots") return world.devicePath() + "/../sdb1/.";
    if (name == "disk") return fs::path(world.devicePath()).parent_path().string();
    if (name == "mountpoint") return world.mountDir().string();
    if (name == "escape") return world.devicePath() + "/../../../../../../../../../../../../../../proc";
    if (name == "fixed") return (sys / "dev/block/8:1").string();
    if (name == "usb") return (sys / "devices/pci0000:00/0000:00:14.0/usb2").string();
    if (name != "stick") return name;
    return world.devicePath();
  }

  fs::path second() { return world.tree().root() / "media" / "SECOND"; }

  TraceCapture capture;
  std::optional<ScopedFileSizeLimit> limit;
  std::string marked;
  Bytes bytes;
};

class ReaderSequenceTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ReaderSequenceTest, EveryCaseHoldsStepByStep) {
  std::ifstream in(dataPath(std::string("reader/") + GetParam()));
  ASSERT_TRUE(in) << GetParam();
  std::unique_ptr<Sequence> sequence;
  std::string line, caseName;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb) || verb[0] == '#') continue;
    if (verb == "case") {
      std::getline(words >> std::ws, caseName);
      sequence.reset();  // its trace capture goes before the next one comes
      sequence = std::make_unique<Sequence>();
      continue;
    }
    ASSERT_TRUE(sequence) << "a step before the first case, line " << number;
    SCOPED_TRACE(std::string(GetParam()) + ":" + std::to_string(number) + " (" + caseName + "): " + line);
    sequence->step(verb, words);
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ReaderSequenceTest,
                         ::testing::Values("swallow-eject.seq", "presence.seq", "replug.seq", "plug-in.seq",
                                           "serving.seq", "waits.seq"));

}  // namespace
}  // namespace quillon::test

// Format and Clear against a PC/SC fake (no daemon): which reader is taken, the
// order EJECT - creation - SWALLOW, what each failing step returns, that nothing
// is written or deleted without EJECT, the SWALLOW input, that every handle is
// given back on every way out, and that Clear waits for the drive lock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "base/Status.h"
#include "personalise/ReaderControl.h"
#include "platform/VolumePath.h"
#include "support/HeldDriveLock.h"
#include "support/SysfsTree.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr const char* kVirtual = "Brindleworth Virtual Reader 00 00";
// Only a name that starts with the maker's, in its case, is the reader.
const std::string kReaders = "Reader of Brindleworth 00 00\0brindleworth Virtual Reader 00 00\0"s + kVirtual + "\0\0"s;

// What the fake PC/SC service answers, and what it was asked. A call named in
// `fail` answers that status.
struct FakePcsc {
  std::string readers;  // the multi-string, final NUL included
  std::map<std::string, pcsc::Long> fail;
  fs::path container;  // looked at when EJECT arrives
  std::string connectedTo;
  std::vector<std::uint8_t> swallowInput;
  bool containerAtEject = false, containerAtSwallow = false;
  std::map<std::string, int> open;  // successful calls by name

  pcsc::Long call(const std::string& name) {
    const auto it = fail.find(name);
    const pcsc::Long rc = it == fail.end() ? 0 : it->second;
    if (rc == 0) ++open[name];
    return rc;
  }
  bool allGivenBack() {
    return open["establish"] == open["release"] && open["list"] == open["free"] &&
           open["connect"] == open["disconnect"];
  }
} fake;

const PcscApi kFakeApi{
    [](pcsc::Dword, const void*, const void*, pcsc::Context* context) {
      *context = 0x5C0;
      return fake.call("establish");
    },
    [](pcsc::Context, const char*, char* readers, pcsc::Dword* length) {
      const pcsc::Long rc = fake.call("list");
      if (rc != 0) return rc;
      char* copy = static_cast<char*>(std::malloc(fake.readers.size()));
      std::memcpy(copy, fake.readers.data(), fake.readers.size());
      *reinterpret_cast<char**>(readers) = copy;
      *length = static_cast<pcsc::Dword>(fake.readers.size());
      return pcsc::Long{0};
    },
    [](pcsc::Context, const char* reader, pcsc::Dword, pcsc::Dword, pcsc::Handle* card, pcsc::Dword* active) {
      fake.connectedTo = reader;
      *card = 0xCA4D;
      *active = 0;
      return fake.call("connect");
    },
    [](pcsc::Handle, pcsc::Dword code, const void* input, pcsc::Dword inputLength, void*, pcsc::Dword, pcsc::Dword*) {
      if (code == 0x00310018) {
        fake.containerAtEject = fs::exists(fake.container);
        return fake.call("eject");
      }
      const auto* bytes = static_cast<const std::uint8_t*>(input);
      fake.swallowInput.assign(bytes, bytes + inputLength);
      fake.containerAtSwallow = fs::exists(fake.container);
      return fake.call(code == 0x0031001C ? "swallow" : "control?");
    },
    [](pcsc::Handle, pcsc::Dword) { return fake.call("disconnect"); },
    [](pcsc::Context, const void* memory) {
      std::free(const_cast<void*>(memory));
      return fake.call("free");
    },
    [](pcsc::Context) { return fake.call("release"); },
    // Format and Clear use no transaction, send no command and wait for nothing.
    nullptr, nullptr, nullptr, nullptr};

class ReaderControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(drive);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
    reset();
  }
  void TearDown() override { EXPECT_TRUE(fake.allGivenBack()); }
  void reset(const std::string& readers = kReaders, std::map<std::string, pcsc::Long> fail = {}) {
    EXPECT_TRUE(fake.allGivenBack());
    fake = {};
    fake.readers = readers;
    fake.fail = std::move(fail);
    fake.container = drive / "Quillon2.bin";
  }
  std::uint32_t format(ReaderStep& step) {
    return Format("2468", key, "00112233445566778899AABBCCDDEEFF", drive.string(), nullptr, tree.paths(), nullptr,
                  &step, kFakeApi);
  }

  // A root whose name needs a two-byte and a four-byte sequence: SWALLOW counts UTF-16 units, not bytes.
  test::SysfsTree tree{"quillon-r\u00E9ader-\U0001D11E-"};
  const fs::path drive = tree.root() / "media" / "STICK";
  const std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
};

TEST_F(ReaderControlTest, FormatEjectsWritesThenSwallowsAndEachFailingStepEndsItWithItsStatus) {
  const std::tuple<const char*, std::uint32_t, ReaderStep> cases[] = {
      {"establish", 0x8010001D, ReaderStep::kEstablishContext},
      {"connect", 0x80100017, ReaderStep::kConnect},
      {"eject", 0x80100016, ReaderStep::kEject},
      {"swallow", 0x80100022, ReaderStep::kSwallow},
      {"none", 0, ReaderStep::kNone},
  };
  for (const auto& [call, status, failedStep] : cases) {
    SCOPED_TRACE(call);
    fs::remove(fake.container);
    reset(kReaders, {{call, static_cast<pcsc::Long>(status)}});
    ReaderStep step = ReaderStep::kDrive;
    EXPECT_EQ(format(step), status);
    EXPECT_EQ(step, failedStep);
    EXPECT_EQ(fs::exists(fake.container), status == 0 || failedStep == ReaderStep::kSwallow);
  }
  EXPECT_EQ(fake.connectedTo, kVirtual);
  EXPECT_FALSE(fake.containerAtEject);  // written only after the reader let go
  EXPECT_TRUE(fake.containerAtSwallow);
  // SWALLOW carries the partition's sysfs directory as UTF-16LE and a NUL unit.
  std::string sent;
  ASSERT_TRUE(platform::decodeDevicePath(fake.swallowInput, sent));
  EXPECT_EQ(fs::path(sent), fs::canonical(tree.sys() / "dev/block/8:17"));
  EXPECT_EQ(fake.swallowInput.size(), 2 * (sent.size() - 3) + 2);  // é: 2 bytes, 1 unit; U+1D11E: 4 bytes, 2 units
}

TEST_F(ReaderControlTest, ClearEjectsThenDeletesNothingUnlessTheReaderEjectedAndWaitsForTheDriveLock) {
  std::ofstream(fake.container) << "card";
  reset("Reader of Brindleworth 00 00\0\0"s);  // no reader of the maker
  ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(r.message, "The Brindleworth virtual reader was not found.");
  reset(kReaders, {{"eject", 0x80100099}});
  EXPECT_EQ(Clear(drive.string(), kFakeApi).status, 0x80100099u);
  EXPECT_TRUE(fs::exists(fake.container));
  // Another writer's command holds the drive: Clear waits for it to end.
  reset();
  test::HeldDriveLock held(drive);
  held.releaseAfter(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  r = Clear(drive.string(), kFakeApi);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(r.status, 0u);
  EXPECT_TRUE(r.deleted);
  EXPECT_TRUE(fake.containerAtEject);
  EXPECT_FALSE(fs::exists(fake.container));
}

}  // namespace
}  // namespace quillon

// Format and Clear against a recording PC/SC fake (no daemon): which reader is
// taken, the order EJECT - creation - SWALLOW, what each failing step returns,
// that nothing is written or deleted without EJECT, the SWALLOW input, that every
// handle is given back on every way out, and that both wait for the drive lock.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/Status.h"
#include "base/Utf8.h"
#include "personalise/ReaderControl.h"
#include "platform/VolumePath.h"
#include "support/HeldDriveLock.h"
#include "support/SysfsTree.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;
using namespace std::string_literals;

constexpr pcsc::Context kContext = 0x5C0;
constexpr pcsc::Handle kCard = 0xCA4D;
constexpr const char* kVirtual = "Brindleworth Virtual Reader 00 00";

// What the fake PC/SC service answers, and what it was asked. A call named in
// `fail` answers that status.
struct FakePcsc {
  std::string readers;  // the multi-string, final NUL included
  std::map<std::string, pcsc::Long> fail;
  fs::path container;  // looked at when EJECT arrives
  Calls calls;
  std::string connectedTo;
  std::vector<std::uint8_t> swallowInput;
  bool containerAtEject = false, wrongHandle = false;
  std::map<std::string, int> open;  // successful calls by name

  pcsc::Long call(const std::string& name, bool wrong) {
    calls.push_back(name);
    wrongHandle |= wrong;
    const auto it = fail.find(name);
    const pcsc::Long rc = it == fail.end() ? 0 : it->second;
    if (rc == 0) ++open[name];
    return rc;
  }
  bool allGivenBack() {
    return !wrongHandle && open["establish"] == open["release"] && open["list"] == open["free"] &&
           open["connect"] == open["disconnect"];
  }
} fake;

const PcscApi kFakeApi{
    [](pcsc::Dword, const void*, const void*, pcsc::Context* context) {
      *context = kContext;
      return fake.call("establish", false);
    },
    [](pcsc::Context context, const char*, char* readers, pcsc::Dword* length) {
      const pcsc::Long rc = fake.call("list", context != kContext);
      if (rc != 0) return rc;
      char* copy = static_cast<char*>(std::malloc(fake.readers.size()));
      std::memcpy(copy, fake.readers.data(), fake.readers.size());
      *reinterpret_cast<char**>(readers) = copy;
      *length = static_cast<pcsc::Dword>(fake.readers.size());
      return pcsc::Long{0};
    },
    [](pcsc::Context context, const char* reader, pcsc::Dword, pcsc::Dword, pcsc::Handle* card, pcsc::Dword* active) {
      fake.connectedTo = reader;
      *card = kCard;
      *active = 0;
      return fake.call("connect", context != kContext);
    },
    [](pcsc::Handle card, pcsc::Dword code, const void* input, pcsc::Dword inputLength, void*, pcsc::Dword,
       pcsc::Dword*) {
      if (code == 0x00310018) {
        fake.containerAtEject = fs::exists(fake.container);
        return fake.call("eject", card != kCard);
      }
      const auto* bytes = static_cast<const std::uint8_t*>(input);
      fake.swallowInput.assign(bytes, bytes + inputLength);
      return fake.call(code == 0x0031001C ? "swallow" : "control?", card != kCard);
    },
    [](pcsc::Handle card, pcsc::Dword) { return fake.call("disconnect", card != kCard); },
    [](pcsc::Context context, const void* memory) {
      std::free(const_cast<void*>(memory));
      return fake.call("free", context != kContext);
    },
    [](pcsc::Context context) { return fake.call("release", context != kContext); },
    nullptr,  // Format and Clear use no transaction, send no command and wait for nothing
    nullptr,
    nullptr,
    nullptr,
};

class ReaderControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(drive);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
    // Only a name that starts with the maker's, in its case, is the reader.
    reset("Reader of Brindleworth 00 00\0brindleworth Virtual Reader 00 00\0"s + kVirtual + "\0\0"s);
  }
  void TearDown() override { EXPECT_TRUE(fake.allGivenBack()) << testing::PrintToString(fake.calls); }
  void reset(const std::string& readers = kVirtual + "\0\0"s, std::map<std::string, pcsc::Long> fail = {}) {
    EXPECT_TRUE(fake.allGivenBack()) << testing::PrintToString(fake.calls);
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

TEST_F(ReaderControlTest, TheMakersReaderIsEjectedThenGivenTheNewVolume) {
  ReaderStep step = ReaderStep::kDrive;
  ASSERT_EQ(format(step), 0u);
  EXPECT_EQ(step, ReaderStep::kNone);
  EXPECT_EQ(fake.connectedTo, kVirtual);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "swallow", "free", "disconnect", "release"}));
  EXPECT_FALSE(fake.containerAtEject);  // written only after the reader let go
  EXPECT_TRUE(fs::exists(fake.container));
  // SWALLOW carries the partition's sysfs directory as UTF-16LE and a NUL unit.
  std::string sent;
  ASSERT_TRUE(platform::decodeDevicePath(fake.swallowInput, sent));
  EXPECT_EQ(fs::path(sent), fs::canonical(tree.sys() / "dev/block/8:17"));
  EXPECT_EQ(utf8::utf16Units(sent), sent.size() - 3);  // é: 2 bytes, 1 unit; U+1D11E: 4 bytes, 2 units
  ASSERT_EQ(fake.swallowInput.size(), 2 * utf8::utf16Units(sent) + 2);
}

TEST_F(ReaderControlTest, EachStepThatFailsEndsFormatWithItsStatusAndNothingIsWrittenBeforeEject) {
  const std::tuple<const char*, std::uint32_t, ReaderStep> cases[] = {
      {"establish", 0x8010001D, ReaderStep::kEstablishContext},
      {"list", 0x8010002E, ReaderStep::kListReaders},
      {"connect", 0x80100017, ReaderStep::kConnect},
      {"eject", 0x80100016, ReaderStep::kEject},
      {"swallow", 0x80100022, ReaderStep::kSwallow},
  };
  for (const auto& [call, status, failedStep] : cases) {
    SCOPED_TRACE(call);
    fs::remove(fake.container);
    reset(kVirtual + "\0\0"s, {{call, static_cast<pcsc::Long>(status)}});
    ReaderStep step{};
    EXPECT_EQ(format(step), status);
    EXPECT_EQ(step, failedStep);
    EXPECT_EQ(fs::exists(fake.container), failedStep == ReaderStep::kSwallow);
  }
}

TEST_F(ReaderControlTest, ClearEjectsThenDeletesAndDeletesNothingUnlessTheReaderEjected) {
  std::ofstream(fake.container) << "card";
  reset("Reader of Brindleworth 00 00\0\0"s);
  ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(r.message, "The Brindleworth virtual reader was not found.");
  for (const char* call : {"establish", "list", "connect", "eject"}) {
    SCOPED_TRACE(call);
    reset(kVirtual + "\0\0"s, {{call, 0x80100099}});
    EXPECT_EQ(Clear(drive.string(), kFakeApi).status, 0x80100099u);
    EXPECT_TRUE(fs::exists(fake.container));
  }
  reset();
  r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, 0u);
  EXPECT_TRUE(r.deleted);
  EXPECT_TRUE(fake.containerAtEject);
  EXPECT_FALSE(fs::exists(fake.container));
}

TEST_F(ReaderControlTest, CreationAndClearWaitForAnotherWritersCommandToEnd) {
  using namespace std::chrono_literals;
  for (const bool clearing : {false, true}) {
    SCOPED_TRACE(clearing ? "Clear" : "Format");
    reset();
    test::HeldDriveLock held(drive);
    held.releaseAfter(300ms);
    const auto start = std::chrono::steady_clock::now();
    ReaderStep step = ReaderStep::kNone;
    if (clearing)
      EXPECT_TRUE(Clear(drive.string(), kFakeApi).deleted);
    else
      EXPECT_EQ(format(step), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
  }
}

}  // namespace
}  // namespace quillon

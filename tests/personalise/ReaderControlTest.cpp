// Format and Clear against a recording PC/SC fake (no daemon): which reader is
// taken, the order EJECT - creation - SWALLOW, what each failing step returns,
// that nothing is written or deleted without EJECT, the SWALLOW input, and that
// every handle is given back on every way out; both write only between two
// commands of another writer of the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/Status.h"
#include "base/Utf8.h"
#include "personalise/DevicePath.h"
#include "personalise/ReaderControl.h"
#include "platform/VolumePath.h"
#include "support/CapturingSink.h"
#include "support/HeldDriveLock.h"
#include "support/SysfsTree.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

constexpr pcsc::Context kContext = 0x5C0;
constexpr pcsc::Handle kCard = 0xCA4D;
constexpr const char* kVirtual = "Brindleworth Virtual Reader 00 00";
// What the fake PC/SC service answers, and what it was asked. A call named in
// `fail` answers that status; every handle passed in is checked.
struct FakePcsc {
  std::string readers;  // the multi-string, final NUL included
  std::map<std::string, pcsc::Long> fail;
  fs::path container;  // looked at when EJECT arrives
  Calls calls;
  std::string connectedTo;
  std::vector<std::uint8_t> swallowInput;
  bool containerAtEject = false, wrongHandle = false;
  const void* allocated = nullptr;

  pcsc::Long call(const std::string& name, bool wrong) {
    calls.push_back(name);
    wrongHandle |= wrong;
    const auto it = fail.find(name);
    const pcsc::Long rc = it == fail.end() ? 0 : it->second;
    if (rc == 0) ++open[name];
    return rc;
  }
  // Every context, reader list and card handle obtained was given back.
  bool allGivenBack() {
    return open["establish"] == open["release"] && open["list"] == open["free"] &&
           open["connect"] == open["disconnect"];
  }
  std::map<std::string, int> open;  // successful calls by name
};

FakePcsc* g_fake = nullptr;

const PcscApi kFakeApi{
    [](pcsc::Dword scope, const void* r1, const void* r2, pcsc::Context* context) {
      *context = kContext;
      return g_fake->call("establish", scope != pcsc::kScopeUser || r1 != nullptr || r2 != nullptr);
    },
    [](pcsc::Context context, const char* groups, char* readers, pcsc::Dword* length) {
      const pcsc::Long rc = g_fake->call("list", context != kContext || groups || *length != pcsc::kAutoAllocate);
      if (rc != 0) return rc;
      char* copy = static_cast<char*>(std::malloc(g_fake->readers.size()));
      std::memcpy(copy, g_fake->readers.data(), g_fake->readers.size());
      *reinterpret_cast<char**>(readers) = copy;
      *length = static_cast<pcsc::Dword>(g_fake->readers.size());
      g_fake->allocated = copy;
      return pcsc::Long{0};
    },
    [](pcsc::Context context, const char* reader, pcsc::Dword share, pcsc::Dword protocols, pcsc::Handle* card,
       pcsc::Dword* active) {
      g_fake->connectedTo = reader;
      *card = kCard;
      *active = 0;
      return g_fake->call("connect", context != kContext || share != pcsc::kShareDirect || protocols != 0);
    },
    [](pcsc::Handle card, pcsc::Dword code, const void* input, pcsc::Dword inputLength, void* output,
       pcsc::Dword outputLength, pcsc::Dword* returned) {
      const bool wrong = card != kCard || output != nullptr || outputLength != 0 || returned == nullptr;
      if (code == 0x00310018) {
        g_fake->containerAtEject = fs::exists(g_fake->container);
        return g_fake->call("eject", wrong || input != nullptr || inputLength != 0);
      }
      const auto* bytes = static_cast<const std::uint8_t*>(input);
      g_fake->swallowInput.assign(bytes, bytes + inputLength);
      return g_fake->call(code == 0x0031001C ? "swallow" : "control?", wrong);
    },
    [](pcsc::Handle card, pcsc::Dword disposition) {
      return g_fake->call("disconnect", card != kCard || disposition != pcsc::kLeaveCard);
    },
    [](pcsc::Context context, const void* memory) {
      std::free(const_cast<void*>(memory));
      return g_fake->call("free", context != kContext || memory != g_fake->allocated);
    },
    [](pcsc::Context context) { return g_fake->call("release", context != kContext); },
    nullptr,  // Format and Clear use no transaction, send no command and wait for nothing
    nullptr,
    nullptr,
    nullptr,
};

std::string multiString(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& name : names) s += name + '\0';
  return s + '\0';
}

class ReaderControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive = tree.root() / "media" / "STICK";
    fs::create_directories(drive);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
    reset({"Other Maker Reader 00 00", kVirtual});
    g_fake = &fake;
  }
  void TearDown() override {
    EXPECT_FALSE(fake.wrongHandle);
    EXPECT_TRUE(fake.allGivenBack());
    g_fake = nullptr;
  }
  void reset(const std::vector<std::string>& readers, std::map<std::string, pcsc::Long> fail = {}) {
    EXPECT_FALSE(fake.wrongHandle);
    EXPECT_TRUE(fake.allGivenBack()) << testing::PrintToString(fake.calls);
    fake = {};
    fake.readers = multiString(readers);
    fake.fail = std::move(fail);
    fake.container = drive / "Quillon2.bin";
    capture.sink().clear();
  }
  std::uint32_t format(ReaderStep& step, const fs::path& where = {}, const DeviceIdentity* identity = nullptr,
                       const test::SysfsTree* sysfs = nullptr) {
    return Format("2468", key, "00112233445566778899AABBCCDDEEFF", (where.empty() ? drive : where).string(), identity,
                  (sysfs ? *sysfs : tree).paths(), nullptr, &step, kFakeApi);
  }
  std::size_t traced(const std::string& message) { return capture.sink().count(" : " + message); }

  // A root whose name needs a two-byte and a four-byte sequence: SWALLOW counts UTF-16 units, not bytes.
  test::SysfsTree tree{"quillon-r\u00E9ader-\U0001D11E-"};
  fs::path drive;
  FakePcsc fake;
  test::TraceCapture capture;
  const std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
};

TEST_F(ReaderControlTest, TheMakersReaderIsEjectedThenGivenTheNewVolume) {
  ReaderStep step = ReaderStep::kDrive;
  ASSERT_EQ(format(step), 0u);
  EXPECT_EQ(step, ReaderStep::kNone);
  EXPECT_EQ(fake.connectedTo, kVirtual);  // the second reader, the first of the maker
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "swallow", "free", "disconnect", "release"}));
  EXPECT_FALSE(fake.containerAtEject);  // written only after the reader let go
  EXPECT_TRUE(fs::exists(fake.container));
  // SWALLOW carries the partition's sysfs directory as UTF-16LE and a NUL unit.
  std::string sent;
  ASSERT_TRUE(platform::decodeDevicePath(fake.swallowInput, sent));
  EXPECT_EQ(fs::path(sent), fs::canonical(tree.sys() / "dev/block/8:17"));
  EXPECT_EQ(utf8::utf16Units(sent), sent.size() - 3);  // é: 2 bytes, 1 unit; U+1D11E: 4 bytes, 2 units
  ASSERT_EQ(fake.swallowInput.size(), 2 * utf8::utf16Units(sent) + 2);
  EXPECT_EQ(traced("Format: completed successfully"), 1u);

  // The same steps for a blank card.
  reset({kVirtual});
  fs::remove(fake.container);
  ASSERT_EQ(FormatBlank(drive.string(), nullptr, tree.paths(), nullptr, &step, kFakeApi), 0u);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "swallow", "free", "disconnect", "release"}));
  EXPECT_FALSE(fake.containerAtEject);
  EXPECT_EQ(capture.sink().count("CreateBlankContainer: GIDS applet saved"), 1u);
  reset({kVirtual}, {{"eject", 0x80100016}});
  fs::remove(fake.container);
  EXPECT_EQ(FormatBlank(drive.string(), nullptr, tree.paths(), nullptr, &step, kFakeApi), 0x80100016u);
  EXPECT_FALSE(fs::exists(fake.container));
}

TEST_F(ReaderControlTest, OnlyANameThatStartsWithTheMakerMatches) {
  ReaderStep step{};
  for (const std::string& readers :
       {multiString({"Reader of Brindleworth 00 00", "brindleworth Virtual Reader 00 00", "Brindlewort 01"}),
        std::string(1, '\0'), std::string("Brindleworth Virtual Reader")}) {  // none at all; one without its NUL
    reset({});
    fake.readers = readers;
    EXPECT_EQ(format(step), status::SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(step, ReaderStep::kFindReader);
    EXPECT_FALSE(fs::exists(fake.container));
  }
  EXPECT_EQ(traced("Format: Brindleworth reader not found"), 1u);
  reset({"Brindleworth"});  // the word alone, as a whole name, is enough
  ASSERT_EQ(format(step), 0u);
  EXPECT_EQ(fake.connectedTo, "Brindleworth");
}

TEST_F(ReaderControlTest, EachPcscStepThatFailsEndsFormatWithItsStatus) {
  struct Case {
    const char* call;
    std::uint32_t status;
    ReaderStep step;
    const char* trace;
  };
  const Case cases[] = {
      {"establish", 0x8010001D, ReaderStep::kEstablishContext, "Format: SCardEstablishContext 0x8010001d"},
      {"list", 0x8010002E, ReaderStep::kListReaders, "Format: SCardListReaders 0x8010002e"},
      {"connect", 0x80100017, ReaderStep::kConnect, "Format: SCardConnect 0x80100017"},
      {"eject", 0x80100016, ReaderStep::kEject, "Format: SCardControl(EJECT) 0x80100016"},
      {"swallow", 0x80100022, ReaderStep::kSwallow, "Format: SCardControl(SWALLOW) 0x80100022"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    fs::remove(fake.container);
    reset({kVirtual}, {{c.call, static_cast<pcsc::Long>(c.status)}});
    ReaderStep step{};
    EXPECT_EQ(format(step), c.status);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(fs::exists(fake.container), c.step == ReaderStep::kSwallow);
    EXPECT_EQ(traced(c.trace), 1u);
  }
  EXPECT_EQ(readerFailureMessage(ReaderStep::kListReaders, status::SCARD_E_NO_READERS_AVAILABLE),
            std::string("The Brindleworth virtual reader was not found."));
}

TEST_F(ReaderControlTest, NoSwallowAfterAFailedCreationOrWithoutADevicePath) {
  test::SysfsTree fixed;  // a disk that is not removable is refused as a card's home
  test::SysfsTree::Stick stick;
  stick.removable = "0\n";
  fixed.addUsbStick(stick);
  fixed.mount(8, 17, drive.string());
  ReaderStep step{};
  EXPECT_NE(format(step, drive, nullptr, &fixed), 0u);
  EXPECT_EQ(step, ReaderStep::kCreate);
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "swallow"), 0);
  EXPECT_FALSE(fs::exists(fake.container));

  // A plain directory with the identity given: the card is written, but no
  // volume can be named to the reader.
  reset({kVirtual});
  const fs::path plain = tree.root() / "plain";
  fs::create_directories(plain);
  const DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  EXPECT_EQ(format(step, plain, &identity), 0x80070002u);
  EXPECT_EQ(step, ReaderStep::kDevicePath);
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "swallow"), 0);
  EXPECT_TRUE(fs::exists(plain / "Quillon2.bin"));

  std::string path = "stale";
  EXPECT_EQ(BuildPnpPathFromDriveLetter("", path, tree.paths()), status::E_INVALIDARG);
  EXPECT_TRUE(path.empty());
  // A relative drive is taken from the current directory.
  {
    const test::ScopedCurrentPath inMedia(drive.parent_path());
    EXPECT_EQ(BuildPnpPathFromDriveLetter("STICK", path, tree.paths()), 0u);
  }
  EXPECT_EQ(fs::path(path), fs::canonical(tree.sys() / "dev/block/8:17"));
}

TEST_F(ReaderControlTest, ClearEjectsThenDeletesAndDeletesNothingUnlessTheReaderEjected) {
  std::ofstream(fake.container) << "card";
  reset({"Other Maker Reader 00 00"});
  ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(r.failedStep, ReaderStep::kFindReader);
  EXPECT_EQ(r.message, "The Brindleworth virtual reader was not found.");
  for (const char* call : {"establish", "list", "connect", "eject"}) {
    SCOPED_TRACE(call);
    reset({kVirtual}, {{call, 0x80100099}});
    r = Clear(drive.string(), kFakeApi);
    EXPECT_EQ(r.status, 0x80100099u);
    EXPECT_TRUE(fs::exists(fake.container));
  }

  reset({kVirtual});
  r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, 0u);
  EXPECT_TRUE(r.deleted);
  EXPECT_TRUE(fake.containerAtEject);
  EXPECT_FALSE(fs::exists(fake.container));
  EXPECT_EQ(traced("Clear: file deleted successfully"), 1u);

  reset({kVirtual});  // nothing left to delete: only traced
  r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, 0u);
  EXPECT_FALSE(r.deleted);
  EXPECT_EQ(traced("Clear: file not found, nothing to delete"), 1u);

  reset({kVirtual});
  fs::create_directories(fake.container);  // a directory is not deleted as a file
  r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::ERROR_ACCESS_DENIED);
  EXPECT_EQ(r.failedStep, ReaderStep::kDelete);
  EXPECT_EQ(r.message, "0x00000005 - Access is denied.");
  EXPECT_EQ(fake.calls.back(), "release");

  reset({kVirtual});
  r = Clear("", kFakeApi);
  EXPECT_EQ(r.failedStep, ReaderStep::kDrive);
  EXPECT_EQ(r.message, "No drive has been selected.");
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(ReaderControlTest, CreationAndClearWaitForAnotherWritersCommandToEnd) {
  using namespace std::chrono_literals;
  for (const bool clearing : {false, true}) {
    SCOPED_TRACE(clearing ? "Clear" : "Format");
    reset({kVirtual});
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

// Format and Clear against a recording PC/SC fake (no daemon): which reader is
// taken, the order EJECT - creation - SWALLOW, what each failing step returns and
// traces, that nothing is written without EJECT, the SWALLOW input, and that
// every handle is given back on every way out. The volume is a fixture sysfs
// tree whose mount point is a temporary directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../platform/SysfsTree.h"
#include "base/Status.h"
#include "base/Utf8.h"
#include "personalise/DevicePath.h"
#include "personalise/ReaderControl.h"
#include "platform/VolumePath.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

constexpr pcsc::Context kContext = 0x5C0;
constexpr pcsc::Handle kCard = 0xCA4D;
constexpr pcsc::Dword kEject = 0x00310018;
constexpr pcsc::Dword kSwallow = 0x0031001C;
constexpr const char* kVirtual = "Brindleworth Virtual Reader 00 00";

// What the fake PC/SC service answers, and what it was asked.
struct FakePcsc {
  std::string readers;  // the multi-string, final NUL included
  pcsc::Long establish = 0, list = 0, connect = 0, eject = 0, swallow = 0;
  fs::path container;  // looked at when EJECT arrives

  std::vector<std::string> calls;
  std::string connectedTo;
  std::vector<std::uint8_t> swallowInput;
  bool containerAtEject = false;
  const void* allocated = nullptr;
  bool wrongHandle = false;  // a call with a handle the fake never gave out
};

FakePcsc* g_fake = nullptr;

pcsc::Long fakeEstablish(pcsc::Dword scope, const void* r1, const void* r2, pcsc::Context* context) {
  g_fake->calls.push_back("establish");
  g_fake->wrongHandle |= scope != pcsc::kScopeUser || r1 != nullptr || r2 != nullptr;
  if (g_fake->establish != 0) return g_fake->establish;
  *context = kContext;
  return 0;
}

pcsc::Long fakeList(pcsc::Context context, const char* groups, char* readers, pcsc::Dword* length) {
  g_fake->calls.push_back("list");
  g_fake->wrongHandle |= context != kContext || groups != nullptr || *length != pcsc::kAutoAllocate;
  if (g_fake->list != 0) return g_fake->list;
  char* copy = static_cast<char*>(std::malloc(g_fake->readers.size()));
  std::memcpy(copy, g_fake->readers.data(), g_fake->readers.size());
  *reinterpret_cast<char**>(readers) = copy;
  *length = g_fake->readers.size();
  g_fake->allocated = copy;
  return 0;
}

pcsc::Long fakeConnect(pcsc::Context context, const char* reader, pcsc::Dword share, pcsc::Dword protocols,
                       pcsc::Handle* card, pcsc::Dword* active) {
  g_fake->calls.push_back("connect");
  g_fake->connectedTo = reader;
  g_fake->wrongHandle |= context != kContext || share != pcsc::kShareDirect || protocols != 0;
  if (g_fake->connect != 0) return g_fake->connect;
  *card = kCard;
  *active = 0;
  return 0;
}

pcsc::Long fakeControl(pcsc::Handle card, pcsc::Dword code, const void* input, pcsc::Dword inputLength, void* output,
                       pcsc::Dword outputLength, pcsc::Dword* returned) {
  g_fake->wrongHandle |= card != kCard || output != nullptr || outputLength != 0 || returned == nullptr;
  if (code == kEject) {
    g_fake->calls.push_back("eject");
    g_fake->wrongHandle |= input != nullptr || inputLength != 0;
    g_fake->containerAtEject = fs::exists(g_fake->container);
    return g_fake->eject;
  }
  g_fake->calls.push_back(code == kSwallow ? "swallow" : "control?");
  const auto* bytes = static_cast<const std::uint8_t*>(input);
  g_fake->swallowInput.assign(bytes, bytes + inputLength);
  return g_fake->swallow;
}

pcsc::Long fakeDisconnect(pcsc::Handle card, pcsc::Dword disposition) {
  g_fake->calls.push_back("disconnect");
  g_fake->wrongHandle |= card != kCard || disposition != pcsc::kLeaveCard;
  return 0;
}

pcsc::Long fakeFree(pcsc::Context context, const void* memory) {
  g_fake->calls.push_back("free");
  g_fake->wrongHandle |= context != kContext || memory != g_fake->allocated;
  std::free(const_cast<void*>(memory));
  return 0;
}

pcsc::Long fakeRelease(pcsc::Context context) {
  g_fake->calls.push_back("release");
  g_fake->wrongHandle |= context != kContext;
  return 0;
}

const PcscApi kFakeApi{fakeEstablish, fakeList, fakeConnect, fakeControl, fakeDisconnect, fakeFree, fakeRelease};

using Calls = std::vector<std::string>;

// Lines ending with `message`, at `level`.
std::size_t traced(const test::CapturingSink& sink, std::uint8_t level, const std::string& message) {
  std::size_t n = 0;
  for (const auto& line : sink.lines()) {
    n += line.level == level && line.text.size() >= message.size() &&
         line.text.compare(line.text.size() - message.size(), message.size(), message) == 0;
  }
  return n;
}

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
    fake.readers = multiString({"Other Maker Reader 00 00", kVirtual});
    fake.container = drive / "Quillon2.bin";
    g_fake = &fake;
  }
  void TearDown() override {
    EXPECT_FALSE(fake.wrongHandle);
    g_fake = nullptr;
  }

  std::uint32_t format(const fs::path& where, ReaderStep& step) {
    return Format("2468", key, "00112233445566778899AABBCCDDEEFF", where.string(), nullptr, tree.paths(), nullptr,
                  &step, kFakeApi);
  }
  std::uint32_t format(ReaderStep& step) { return format(drive, step); }

  test::SysfsTree tree;
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

  // SWALLOW carries the partition's sysfs directory, 2 bytes a unit and a NUL unit.
  std::string devicePath;
  ASSERT_EQ(BuildPnpPathFromDriveLetter(drive.string(), devicePath, tree.paths()), 0u);
  EXPECT_EQ(fs::path(devicePath), fs::canonical(tree.sys() / "dev/block/8:17"));
  ASSERT_EQ(fake.swallowInput.size(), 2 * devicePath.size() + 2);
  EXPECT_EQ(fake.swallowInput[fake.swallowInput.size() - 2], 0);
  EXPECT_EQ(fake.swallowInput.back(), 0);
  std::string sent;
  ASSERT_TRUE(platform::decodeDevicePath(fake.swallowInput, sent));
  EXPECT_EQ(sent, devicePath);

  const auto& sink = capture.sink();
  EXPECT_EQ(traced(sink, trace::kVerbose,
                   "Format: pin length=4 serial=00112233445566778899AABBCCDDEEFF drive=" + drive.string()),
            1u);
  EXPECT_EQ(traced(sink, trace::kInformation, std::string("Format: connecting to reader ") + kVirtual), 1u);
  EXPECT_EQ(traced(sink, trace::kInformation, "Format: completed successfully"), 1u);
  EXPECT_EQ(sink.count("CreateSecureContainer: GIDS applet saved"), 1u);
}

TEST_F(ReaderControlTest, OnlyANameThatStartsWithTheMakerMatches) {
  fake.readers = multiString({"Reader of Brindleworth 00 00", "brindleworth Virtual Reader 00 00", "Brindlewort 01"});
  ReaderStep step{};
  EXPECT_EQ(format(step), status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(step, ReaderStep::kFindReader);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "free", "release"}));
  EXPECT_FALSE(fs::exists(fake.container));
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Format: Brindleworth reader not found"), 1u);

  // The word alone, as a whole name, is enough.
  fake = {};
  fake.readers = multiString({"Brindleworth"});
  ASSERT_EQ(format(step), 0u);
  EXPECT_EQ(fake.connectedTo, "Brindleworth");
}

TEST_F(ReaderControlTest, NoReadersAtAll) {
  fake.readers = std::string(1, '\0');  // an empty multi-string
  ReaderStep step{};
  EXPECT_EQ(format(step), status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(step, ReaderStep::kFindReader);

  // pcsc-lite says so from SCardListReaders itself, and allocates nothing.
  fake = {};
  fake.list = static_cast<pcsc::Long>(status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(format(step), status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(step, ReaderStep::kListReaders);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "release"}));
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Format: SCardListReaders 0x8010002e"), 1u);
  EXPECT_FALSE(fs::exists(fake.container));

  // A name that runs to the end of the reported length without its NUL is not used.
  fake = {};
  fake.readers = "Brindleworth Virtual Reader";
  EXPECT_EQ(format(step), status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(step, ReaderStep::kFindReader);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "free", "release"}));
}

TEST_F(ReaderControlTest, EachPcscStepThatFailsEndsFormatWithItsStatus) {
  struct Case {
    pcsc::Long FakePcsc::*field;
    std::uint32_t status;
    ReaderStep step;
    const char* trace;
    Calls calls;
    bool written;
  };
  const Case cases[] = {
      {&FakePcsc::establish,
       0x8010001D,
       ReaderStep::kEstablishContext,
       "Format: SCardEstablishContext 0x8010001d",
       {"establish"},
       false},
      {&FakePcsc::list,
       0x80100003,
       ReaderStep::kListReaders,
       "Format: SCardListReaders 0x80100003",
       {"establish", "list", "release"},
       false},
      {&FakePcsc::connect,
       0x80100017,
       ReaderStep::kConnect,
       "Format: SCardConnect 0x80100017",
       {"establish", "list", "connect", "free", "release"},
       false},
      {&FakePcsc::eject,
       0x80100016,
       ReaderStep::kEject,
       "Format: SCardControl(EJECT) 0x80100016",
       {"establish", "list", "connect", "eject", "free", "disconnect", "release"},
       false},
      {&FakePcsc::swallow,
       0x80100022,
       ReaderStep::kSwallow,
       "Format: SCardControl(SWALLOW) 0x80100022",
       {"establish", "list", "connect", "eject", "swallow", "free", "disconnect", "release"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    fs::remove(fake.container);
    fake = {};
    fake.readers = multiString({kVirtual});
    fake.container = drive / "Quillon2.bin";
    fake.*c.field = static_cast<pcsc::Long>(c.status);
    capture.sink().clear();
    ReaderStep step{};
    EXPECT_EQ(format(step), c.status);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(fake.calls, c.calls);
    EXPECT_EQ(fs::exists(fake.container), c.written);
    EXPECT_EQ(traced(capture.sink(), trace::kError, c.trace), 1u);
    EXPECT_EQ(capture.sink().count("Format: completed successfully"), 0u);
  }
}

TEST_F(ReaderControlTest, NoSwallowAfterAFailedCreation) {
  // A disk that is not removable is refused as a card's home.
  test::SysfsTree fixed;
  test::SysfsTree::Stick stick;
  stick.removable = "0\n";
  fixed.addUsbStick(stick);
  fixed.mount(8, 17, drive.string());
  ReaderStep step{};
  const std::uint32_t status = Format("2468", key, "00112233445566778899AABBCCDDEEFF", drive.string(), nullptr,
                                      fixed.paths(), nullptr, &step, kFakeApi);
  EXPECT_NE(status, 0u);
  EXPECT_EQ(step, ReaderStep::kCreate);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "free", "disconnect", "release"}));
  EXPECT_FALSE(fs::exists(fake.container));
  char line[64];
  std::snprintf(line, sizeof line, "Format: CreateSecureContainer 0x%08x", status);
  EXPECT_EQ(traced(capture.sink(), trace::kError, line), 1u);
}

TEST_F(ReaderControlTest, NoSwallowWithoutADevicePath) {
  // A plain directory with the identity given: the card is written, but no
  // volume can be named to the reader.
  const fs::path plain = tree.root() / "plain";
  fs::create_directories(plain);
  const DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  ReaderStep step{};
  const std::uint32_t status = Format("2468", key, "00112233445566778899AABBCCDDEEFF", plain.string(), &identity,
                                      tree.paths(), nullptr, &step, kFakeApi);
  EXPECT_EQ(status, 0x80070002u);  // nothing is mounted there
  EXPECT_EQ(step, ReaderStep::kDevicePath);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "free", "disconnect", "release"}));
  EXPECT_TRUE(fs::exists(plain / "Quillon2.bin"));
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Format: BuildPnpPathFromDriveLetter 0x80070002"), 1u);
}

TEST_F(ReaderControlTest, DevicePathOfADrive) {
  std::string path = "stale";
  EXPECT_EQ(BuildPnpPathFromDriveLetter("", path, tree.paths()), status::E_INVALIDARG);
  EXPECT_TRUE(path.empty());
  path = "stale";
  EXPECT_EQ(BuildPnpPathFromDriveLetter((tree.root() / "elsewhere").string(), path, tree.paths()), 0x80070002u);
  EXPECT_TRUE(path.empty());

  // A relative drive is taken from the current directory.
  const fs::path cwd = fs::current_path();
  fs::current_path(drive.parent_path());
  const std::uint32_t relative = BuildPnpPathFromDriveLetter("STICK", path, tree.paths());
  fs::current_path(cwd);
  EXPECT_EQ(relative, 0u);
  EXPECT_EQ(fs::path(path), fs::canonical(tree.sys() / "dev/block/8:17"));
}

TEST(ReaderControlUnicodeTest, SwallowCountsUtf16UnitsNotBytes) {
  // A sysfs root whose name needs a two-byte and a four-byte sequence: the path
  // of n UTF-16 units goes out as 2n + 2 bytes, the surrogate pair included.
  const fs::path base = fs::temp_directory_path() / ("quillon-r\xC3\xA9"
                                                     "ader-\xF0\x9D\x84\x9E-" +
                                                     std::to_string(::getpid()));
  fs::create_directories(base);
  const char* saved = std::getenv("TMPDIR");
  const std::string savedValue = saved != nullptr ? saved : "";
  ::setenv("TMPDIR", base.c_str(), 1);
  {
    test::SysfsTree tree;
    ::setenv("TMPDIR", savedValue.c_str(), 1);
    if (saved == nullptr) ::unsetenv("TMPDIR");
    const fs::path drive = base / "stick";
    fs::create_directories(drive);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
    FakePcsc fake;
    fake.readers = multiString({kVirtual});
    fake.container = drive / "Quillon2.bin";
    g_fake = &fake;
    const std::uint8_t key[24] = {};
    ReaderStep step{};
    EXPECT_EQ(Format("2468", key, "00112233445566778899AABBCCDDEEFF", drive.string(), nullptr, tree.paths(), nullptr,
                     &step, kFakeApi),
              0u);
    g_fake = nullptr;
    std::string devicePath;
    ASSERT_EQ(BuildPnpPathFromDriveLetter(drive.string(), devicePath, tree.paths()), 0u);
    const std::size_t units = utf8::utf16Units(devicePath);
    EXPECT_EQ(units, devicePath.size() - 3);  // é: 2 bytes, 1 unit; U+1D11E: 4 bytes, 2 units
    ASSERT_EQ(fake.swallowInput.size(), 2 * units + 2);
    std::string sent;
    ASSERT_TRUE(platform::decodeDevicePath(fake.swallowInput, sent));
    EXPECT_EQ(sent, devicePath);
  }
  fs::remove_all(base);
}

TEST_F(ReaderControlTest, BlankCardGoesThroughTheSameSteps) {
  ReaderStep step{};
  ASSERT_EQ(FormatBlank(drive.string(), nullptr, tree.paths(), nullptr, &step, kFakeApi), 0u);
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "swallow", "free", "disconnect", "release"}));
  EXPECT_TRUE(fs::exists(fake.container));
  EXPECT_EQ(traced(capture.sink(), trace::kVerbose, "Format: blank card drive=" + drive.string()), 1u);
  EXPECT_EQ(capture.sink().count("CreateBlankContainer: GIDS applet saved"), 1u);
  EXPECT_EQ(capture.sink().count("CreateSecureContainer"), 0u);

  fake = {};
  fake.readers = multiString({kVirtual});
  fake.container = drive / "Quillon2.bin";
  fake.eject = static_cast<pcsc::Long>(0x80100016);
  fs::remove(fake.container);
  EXPECT_EQ(FormatBlank(drive.string(), nullptr, tree.paths(), nullptr, &step, kFakeApi), 0x80100016u);
  EXPECT_EQ(step, ReaderStep::kEject);
  EXPECT_FALSE(fs::exists(fake.container));
}

// Clear: EJECT, then the container goes.

TEST_F(ReaderControlTest, ClearEjectsThenDeletes) {
  std::ofstream(fake.container) << "card";
  const ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.failedStep, ReaderStep::kNone);
  EXPECT_TRUE(r.deleted);
  EXPECT_TRUE(r.message.empty());
  EXPECT_TRUE(fake.containerAtEject);
  EXPECT_FALSE(fs::exists(fake.container));
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "free", "disconnect", "release"}));
  const auto& sink = capture.sink();
  EXPECT_EQ(traced(sink, trace::kVerbose, "Clear"), 1u);
  EXPECT_EQ(traced(sink, trace::kInformation, "Clear: drive = " + drive.string()), 1u);
  EXPECT_EQ(traced(sink, trace::kInformation, std::string("Clear: connecting to reader '") + kVirtual + "'"), 1u);
  EXPECT_EQ(traced(sink, trace::kInformation, "Clear: deleting '" + fake.container.string() + "'"), 1u);
  EXPECT_EQ(traced(sink, trace::kInformation, "Clear: file deleted successfully"), 1u);
}

TEST_F(ReaderControlTest, ClearWithoutAContainerOnlyTraces) {
  const ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, 0u);
  EXPECT_FALSE(r.deleted);
  EXPECT_TRUE(r.message.empty());
  EXPECT_EQ(fake.calls, (Calls{"establish", "list", "connect", "eject", "free", "disconnect", "release"}));
  EXPECT_EQ(traced(capture.sink(), trace::kWarning, "Clear: file not found, nothing to delete"), 1u);
}

TEST_F(ReaderControlTest, ClearDeletesNothingUnlessTheReaderEjected) {
  std::ofstream(fake.container) << "card";
  fake.readers = multiString({"Other Maker Reader 00 00"});
  ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(r.failedStep, ReaderStep::kFindReader);
  EXPECT_EQ(r.message, "The Brindleworth virtual reader was not found.");
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Clear: Brindleworth reader not found"), 1u);
  EXPECT_TRUE(fs::exists(fake.container));

  struct Case {
    pcsc::Long FakePcsc::*field;
    ReaderStep step;
    const char* trace;
    Calls calls;
  };
  const Case cases[] = {
      {&FakePcsc::establish,
       ReaderStep::kEstablishContext,
       "Clear: SCardEstablishContext failed 0x80100099",
       {"establish"}},
      {&FakePcsc::list,
       ReaderStep::kListReaders,
       "Clear: SCardListReaders failed 0x80100099",
       {"establish", "list", "release"}},
      {&FakePcsc::connect,
       ReaderStep::kConnect,
       "Clear: SCardConnect failed 0x80100099",
       {"establish", "list", "connect", "free", "release"}},
      {&FakePcsc::eject,
       ReaderStep::kEject,
       "Clear: SCardControl(EJECT) failed 0x80100099",
       {"establish", "list", "connect", "eject", "free", "disconnect", "release"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    fake = {};
    fake.readers = multiString({kVirtual});
    fake.*c.field = static_cast<pcsc::Long>(0x80100099);
    capture.sink().clear();
    r = Clear(drive.string(), kFakeApi);
    EXPECT_EQ(r.status, 0x80100099u);
    EXPECT_EQ(r.failedStep, c.step);
    EXPECT_TRUE(r.message.empty());  // only traced
    EXPECT_EQ(fake.calls, c.calls);
    EXPECT_EQ(traced(capture.sink(), trace::kError, c.trace), 1u);
    EXPECT_TRUE(fs::exists(drive / "Quillon2.bin"));
  }
}

TEST_F(ReaderControlTest, ClearReportsADeletionError) {
  fs::create_directories(fake.container);  // a directory is not deleted as a file
  const ClearResult r = Clear(drive.string(), kFakeApi);
  EXPECT_EQ(r.status, status::ERROR_ACCESS_DENIED);
  EXPECT_EQ(r.failedStep, ReaderStep::kDelete);
  EXPECT_EQ(r.message, "0x00000005 - Access is denied.");
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Clear: DeleteFile failed 0x00000005"), 1u);
  EXPECT_TRUE(fs::is_directory(fake.container));
  EXPECT_EQ(fake.calls.back(), "release");
}

TEST_F(ReaderControlTest, ClearWithoutADriveTouchesNoReader) {
  const ClearResult r = Clear("", kFakeApi);
  EXPECT_EQ(r.failedStep, ReaderStep::kDrive);
  EXPECT_NE(r.status, 0u);
  EXPECT_EQ(r.message, "No drive has been selected.");
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(traced(capture.sink(), trace::kError, "Clear: no drive selected"), 1u);
}

TEST(ReaderFailureMessageTest, TheMissingReaderIsNamed) {
  const std::string missing = "The Brindleworth virtual reader was not found.";
  EXPECT_EQ(readerFailureMessage(ReaderStep::kFindReader, status::SCARD_E_NO_READERS_AVAILABLE), missing);
  EXPECT_EQ(readerFailureMessage(ReaderStep::kListReaders, status::SCARD_E_NO_READERS_AVAILABLE), missing);
  EXPECT_NE(readerFailureMessage(ReaderStep::kListReaders, status::SCARD_E_INVALID_HANDLE), missing);
  EXPECT_EQ(readerFailureMessage(ReaderStep::kCreate, 5), nullptr);
}

}  // namespace
}  // namespace quillon

// The container file: a card built through transmit is saved and loaded through
// FilePersist in a directory standing in for a USB drive, and every damaged,
// foreign or unsafe container is refused without being overwritten.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "base/FileHandle.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/DeviceKey.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/StateDocument.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStickSerial = "0401A5C3E7F2";
constexpr const char* kVendor = "Brindle";
constexpr const char* kProduct = "Flash Disk";
constexpr const char* kRevision = "1.00";
constexpr const char* kWrongPin = "002000800431313131";
const std::uint32_t kTagMismatch = status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH);

class FilePersistTest : public ::testing::Test {
 protected:
  FilePersist device(const char* serial = kStickSerial) {
    return FilePersist(serial, kVendor, kProduct, kRevision, drive.string());
  }
  Bytes stored() const { return readFileBytes(container.string()); }
  // A personalised card in a runtime served by `persist`, saved after every command.
  std::unique_ptr<JCRuntimeImpl> personalisedCard(FilePersist& persist) {
    auto runtime = persist.createRuntime(installer);
    EXPECT_EQ(runtime->getApplet(), nullptr);
    GidsApplet::install(*runtime);
    personaliseCard(*runtime);
    return runtime;
  }
  // A fresh device's view of the container: the loaded runtime (null applet when refused).
  std::unique_ptr<JCRuntimeImpl> reload(FilePersist& persist) { return persist.createRuntime(installer); }
  // A container of `xml` sealed as the device of kStickSerial would seal it.
  static Bytes sealed(const std::string& xml) {
    std::uint8_t key[32];
    EXPECT_TRUE(container::DeriveDeviceKey({kVendor, kProduct, kRevision, kStickSerial}, key));
    ossl::SecureBytes compressed;
    EXPECT_EQ(container::CabinetCompress(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), compressed),
              0u);
    Bytes blob;
    EXPECT_EQ(container::AesGcmEncrypt(key, compressed.data(), compressed.size(), blob), 0u);
    return blob;
  }
  // Everything in the drive directory other than the container.
  std::set<std::string> strayFiles() const { return fileNames(drive, FilePersist::kContainerName); }
  std::uint32_t loadContainer(FilePersist& persist, JCRuntimeImpl& runtime) {
    FileHandle fd(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    return persist.loadInto(runtime, installer, fd.get());
  }

  TempDir scratch;
  const fs::path drive = scratch.path(), container = drive / "Quillon2.bin";
  GidsAppletInstaller installer;
};

TEST_F(FilePersistTest, OnlyAChangedStateIsWrittenAndEveryWriteTakesANewNonce) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  addGeneratedKey(*runtime);
  ASSERT_TRUE(fs::is_regular_file(container));
  EXPECT_EQ(fs::status(container).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(transmitHex(*runtime, kWrongPin).sw, 0x63C2);  // a change: one write
  const Bytes first = stored();
  FilePersist again = device();  // never loaded: its first save always writes
  ASSERT_EQ(again.save(*runtime), 0u);
  const Bytes second = stored();
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));  // a new nonce
  // Nothing is written again: any write would take a new nonce.
  TraceCapture capture;
  EXPECT_EQ(persist.save(*runtime), 0u);
  FilePersist reader = device();
  auto reloaded = reload(reader);  // a save right after a load writes nothing either
  ASSERT_NE(reloaded->getApplet(), nullptr);
  EXPECT_EQ(reader.save(*reloaded), 0u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: no change, skipping write"), 2u);
  EXPECT_EQ(stored(), second);
  EXPECT_EQ(*FilePersist::snapshotHeap(*reloaded), *FilePersist::snapshotHeap(*runtime));
  EXPECT_TRUE(strayFiles().empty());
}

TEST_F(FilePersistTest, SizeLimitsAreCheckedBeforeReading) {
  FilePersist persist = device();
  JCRuntimeImpl runtime;
  TraceCapture capture(trace::kError);
  writeFileBytes(container, Bytes(27, 0x5A));
  EXPECT_EQ(loadContainer(persist, runtime), 0x80070057u);
  // The largest container (8 MiB) is read (and then fails authentication); one byte more is not read.
  fs::resize_file(container, 8388608);
  EXPECT_EQ(loadContainer(persist, runtime), kTagMismatch);
  fs::resize_file(container, 8388609);
  EXPECT_EQ(loadContainer(persist, runtime), 0x800700DFu);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: AesGcmDecrypt hr="), 1u);  // the limits kept the others out
  EXPECT_EQ(runtime.getApplet(), nullptr);
}

TEST_F(FilePersistTest, DamagedForeignOrUnrestorableContainersAreRefusedAndNeverOverwritten) {
  FilePersist writer = device();
  auto card = personalisedCard(writer);
  const Bytes good = stored();
  struct Case {
    std::string what;
    Bytes bytes;
    std::uint32_t hr = kTagMismatch;
    const char* serial = kStickSerial;
    std::string failure = "it belongs to another USB stick, or it is damaged";
  };
  std::vector<Case> cases;
  const std::size_t bits = good.size() * 8;
  for (std::size_t bit : {std::size_t{0}, std::size_t{96}, bits - 1}) {  // nonce, ciphertext, tag
    cases.push_back({"bit " + std::to_string(bit), good});
    cases.back().bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  }
  cases.push_back({"another device", good, kTagMismatch, "0401A5C3E7F3"});  // one serial character apart
  cases.push_back(
      {"too short", Bytes(27, 0xA5), 0x80070057u, kStickSerial, "it is too short to hold a card (27 bytes)"});
  // A document the archive cannot read, then one whose restoration throws.
  const auto xml = FilePersist::snapshotHeap(*card);
  ASSERT_TRUE(xml);
  std::string document(xml->begin(), xml->end());
  cases.push_back({"half a document", sealed(document.substr(0, document.size() / 2)), 0x80004005u, kStickSerial,
                   "its state is damaged: element GidsApplet/GidsFileSystem/"});
  document.replace(document.find("<BerTlvFile type=\"1\""), 20, "<BerTlvFile type=\"4\"");
  // Thrown by the document, the refusal comes back as a status.
  cases.push_back({"unknown file type", sealed(document), FilePersist::kDamagedState, kStickSerial,
                   "its state is damaged: element GidsApplet/GidsFileSystem/BerTlvFile: type holds 4, "});

  TraceCapture capture(trace::kError);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes(container, c.bytes);
    FilePersist persist = device(c.serial);
    JCRuntimeImpl runtime;
    EXPECT_EQ(loadContainer(persist, runtime), c.hr);
    EXPECT_EQ(persist.loadStatus(), c.hr);
    EXPECT_EQ(persist.loadFailure().substr(0, c.failure.size()), c.failure);
    if (c.hr == kTagMismatch) {
      EXPECT_EQ(runtime.getApplet(), nullptr);
    }
    EXPECT_TRUE(persist.refusesSaving());
    EXPECT_EQ(persist.save(*card), FilePersist::kUnreadableContainer);
    EXPECT_EQ(stored(), c.bytes);
  }
  EXPECT_EQ(capture.sink().count("could not be loaded, refusing to overwrite it"), cases.size());
  EXPECT_TRUE(strayFiles().empty());
  // A new initialisation, which never tried to load it, replaces it.
  FilePersist initialisation = device();
  ASSERT_EQ(initialisation.save(*card), 0u);
  FilePersist reader = device();
  EXPECT_NE(reload(reader)->getApplet(), nullptr);
}

TEST_F(FilePersistTest, OddThingsNamedLikeTheContainerAreNotFollowed) {
  // No container, or an empty file, is no card and no reason to refuse saving.
  FilePersist writer = device();
  EXPECT_EQ(reload(writer)->getApplet(), nullptr);
  writeFileBytes(container, {});
  auto card = personalisedCard(writer);
  EXPECT_FALSE(writer.refusesSaving());
  const fs::path elsewhere = drive / "elsewhere.bin";
  fs::rename(container, elsewhere);
  const Bytes target = readFileBytes(elsewhere.string());
  // A symbolic link to a valid container: not followed, never written through.
  fs::create_symlink(elsewhere, container);
  {
    FilePersist persist = device();
    EXPECT_EQ(reload(persist)->getApplet(), nullptr);
    EXPECT_EQ(persist.save(*card), FilePersist::kUnreadableContainer);
  }
  // An initialisation replaces the link itself, not what it points to.
  FilePersist initialisation = device();
  ASSERT_EQ(initialisation.save(*card), 0u);
  EXPECT_FALSE(fs::is_symlink(container));
  EXPECT_EQ(readFileBytes(elsewhere.string()), target);
  // A FIFO does not block the load, and a directory is no container.
  fs::remove(container);
  ASSERT_EQ(::mkfifo(container.c_str(), 0600), 0);
  {
    FilePersist persist = device();
    EXPECT_EQ(reload(persist)->getApplet(), nullptr);
    EXPECT_TRUE(persist.refusesSaving());
  }
  fs::remove(container);
  fs::create_directories(container / "inside");
  FilePersist persist = device();
  EXPECT_EQ(reload(persist)->getApplet(), nullptr);
  EXPECT_TRUE(persist.refusesSaving());
  // Nor can a fresh writer replace a directory: the rename fails, nothing is left behind.
  FilePersist fresh = device();
  EXPECT_NE(fresh.save(*card), 0u);
  EXPECT_EQ(strayFiles(), std::set<std::string>{"elsewhere.bin"});
}

TEST_F(FilePersistTest, FailedWriteLeavesTheOldContainerWhole) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  const Bytes before = stored();
  ASSERT_GT(before.size(), 64u);

  // In a child of its own: a file size limit makes the write fail part-way, as a full disk would.
  const ChildResult child = runForked([&] {
    {
      ScopedFileSizeLimit limit(64);
      if (transmitHex(*runtime, kWrongPin).sw != 0x63C2 || stored() != before || !strayFiles().empty()) return 1;
    }
    // The failed save did not count as written: the next one writes in full.
    return persist.save(*runtime) == 0 ? 0 : 2;
  });
  EXPECT_TRUE(child.exitedWith(0)) << child.exitCode << child.out;
  EXPECT_TRUE(strayFiles().empty());
  // What the child wrote in the end is the card with one wrong PIN.
  FilePersist reader = device();
  EXPECT_EQ(transmitHex(*reload(reader), "0020008000").sw, 0x63C2);
}

TEST_F(FilePersistTest, TheNextSaveRemovesWhatAKilledSaveLeftButNotALiveWritersFile) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  const std::string prefix = std::string(".") + FilePersist::kContainerName;
  const fs::path killed = drive / (prefix + ".99999.0.tmp");
  const fs::path live = drive / (prefix + ".424242.3.tmp");
  writeFileBytes(killed, Bytes(100, 0x11));
  writeFileBytes(live, Bytes(100, 0x22));
  FileHandle writer(::open(live.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(writer.valid());
  ASSERT_EQ(::flock(writer.get(), LOCK_EX | LOCK_NB), 0);
  // Look-alikes that no save of ours makes are the user's business.
  const std::set<std::string> others{prefix + ".notes.tmp", prefix + ".1.2.tmp.bak", prefix + ".1.2.3.tmp",
                                     prefix + "..1.tmp", "Quillon2.bin.1.2.tmp"};
  for (const std::string& name : others) writeFileBytes(drive / name, Bytes(4, 0x33));
  fs::create_directory(drive / (prefix + ".5.6.tmp"));
  fs::create_symlink(killed, drive / (prefix + ".7.8.tmp"));

  ASSERT_EQ(transmitHex(*runtime, kWrongPin).sw, 0x63C2);  // a changed card is saved
  std::set<std::string> expected = others;
  expected.insert({live.filename().string(), prefix + ".5.6.tmp", prefix + ".7.8.tmp"});
  EXPECT_EQ(strayFiles(), expected);
  // Once its writer is gone, the next save takes that one too.
  writer.close();
  ASSERT_EQ(transmitHex(*runtime, kWrongPin).sw, 0x63C1);
  expected.erase(live.filename().string());
  EXPECT_EQ(strayFiles(), expected);
}

TEST_F(FilePersistTest, UnderivableKeyOrMissingDriveWritesNothing) {
  FilePersist writer = device();
  auto card = personalisedCard(writer);
  const Bytes good = stored();
  const std::string longVendor(300, 'V');
  FilePersist broken(kStickSerial, longVendor.c_str(), kProduct, kRevision, drive.string());
  EXPECT_FALSE(broken.hasKey());
  EXPECT_EQ(broken.save(*card), FilePersist::kNoDeviceKey);
  EXPECT_EQ(stored(), good);
  JCRuntimeImpl runtime;
  EXPECT_EQ(loadContainer(broken, runtime), FilePersist::kNoDeviceKey);
  EXPECT_EQ(runtime.getApplet(), nullptr);

  FilePersist gone("1", kVendor, kProduct, kRevision, (drive / "gone").string());
  EXPECT_EQ(gone.save(*card), 0x80070002u);
  // The failed save is retried in full once the drive is there.
  fs::create_directory(drive / "gone");
  EXPECT_EQ(gone.save(*card), 0u);
  EXPECT_TRUE(fs::is_regular_file(drive / "gone" / FilePersist::kContainerName));
  EXPECT_EQ(FilePersist("1", "v", "p", "r", "/media/stick/").path(), "/media/stick/Quillon2.bin");
}

}  // namespace
}  // namespace quillon::test

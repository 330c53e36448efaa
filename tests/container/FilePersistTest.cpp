// The container file: a card built through transmit is saved and loaded through
// FilePersist in a directory standing in for a USB drive, and every damaged,
// foreign or unsafe container is refused without being overwritten.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "PersistedCard.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/DeviceKey.h"
#include "container/FileHandle.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/OpenSslPeer.h"
#include "jc/Exceptions.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStickSerial = "0401A5C3E7F2";
constexpr const char* kVendor = "Brindle";
constexpr const char* kProduct = "Flash Disk";
constexpr const char* kRevision = "1.00";
const std::uint32_t kTagMismatch = status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH);

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

ino_t inodeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_ino;
}

class FilePersistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-persist-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    drive = pattern;
    container = drive / FilePersist::kContainerName;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(drive, ignored);
  }

  FilePersist device(const char* serial = kStickSerial) {
    return FilePersist(serial, kVendor, kProduct, kRevision, drive.string());
  }

  // A personalised card in a runtime served by `persist`, saved after every command.
  std::unique_ptr<JCRuntimeImpl> personalisedCard(FilePersist& persist) {
    auto runtime = persist.createRuntime(installer);
    EXPECT_EQ(runtime->getApplet(), nullptr);
    GidsApplet::install(*runtime);
    personaliseCard(*runtime);
    return runtime;
  }

  // A container of `xml` sealed as the device of kStickSerial would seal it.
  void writeSealed(const std::string& xml) {
    std::uint8_t key[32];
    ASSERT_TRUE(container::DeriveDeviceKey(kStickSerial, kVendor, kProduct, kRevision, key));
    ossl::SecureBytes compressed;
    ASSERT_EQ(container::CabinetCompress(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size(), compressed),
              0u);
    Bytes sealed;
    ASSERT_EQ(container::AesGcmEncrypt(key, compressed.data(), compressed.size(), sealed), 0u);
    writeFile(container, sealed);
  }

  // Everything in the drive directory other than the container.
  std::set<std::string> strayFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(drive))
      if (entry.path().filename() != FilePersist::kContainerName) names.insert(entry.path().filename().string());
    return names;
  }

  // loadInto a fresh runtime from the container file.
  std::uint32_t loadContainer(FilePersist& persist, JCRuntimeImpl& runtime) {
    container::FileHandle fd(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    return persist.loadInto(runtime, installer, fd.get());
  }

  fs::path drive;
  fs::path container;
  GidsAppletInstaller installer;
};

TEST_F(FilePersistTest, UnchangedStateIsNotWrittenAgain) {
  FilePersist persist = device();
  EXPECT_TRUE(persist.hasKey());
  EXPECT_EQ(persist.path(), container.string());
  auto runtime = personalisedCard(persist);
  ASSERT_TRUE(fs::is_regular_file(container));
  EXPECT_EQ(fs::status(container).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  TraceCapture capture;
  EXPECT_EQ(transmitHex(*runtime, "002000800431313131").sw, 0x63C2);  // a change: one write
  EXPECT_EQ(capture.sink().count("FilePersist::save: wrote "), 1u);
  const ino_t written = inodeOf(container);
  capture.sink().clear();
  EXPECT_EQ(persist.save(*runtime), 0u);
  EXPECT_EQ(persist.save(*runtime), 0u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: no change, skipping write"), 2u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: wrote "), 0u);
  EXPECT_EQ(inodeOf(container), written);  // every write replaces the file
  EXPECT_TRUE(strayFiles().empty());
}

TEST_F(FilePersistTest, SaveRightAfterLoadWritesNothing) {
  FilePersist writer = device();
  auto original = personalisedCard(writer);
  addGeneratedKey(*original);
  const ino_t written = inodeOf(container);

  FilePersist reader = device();
  TraceCapture capture;
  auto runtime = reader.createRuntime(installer);
  ASSERT_NE(runtime->getApplet(), nullptr);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: loaded "), 1u);
  EXPECT_EQ(reader.save(*runtime), 0u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: no change, skipping write"), 1u);
  EXPECT_EQ(inodeOf(container), written);
  EXPECT_FALSE(reader.refusesSaving());
  // The reloaded card is the card: same document.
  EXPECT_EQ(*FilePersist::snapshotHeap(*runtime), *FilePersist::snapshotHeap(*original));
}

TEST_F(FilePersistTest, EveryWriteTakesANewNonce) {
  FilePersist first = device();
  auto runtime = personalisedCard(first);
  const Bytes one = readFile(container);
  FilePersist second = device();  // never loaded: its first save always writes
  ASSERT_EQ(second.save(*runtime), 0u);
  const Bytes two = readFile(container);
  EXPECT_EQ(one.size(), two.size());
  EXPECT_NE(one, two);
  EXPECT_NE(Bytes(one.begin(), one.begin() + 12), Bytes(two.begin(), two.begin() + 12));
}

TEST_F(FilePersistTest, SizeLimitsAreCheckedBeforeReading) {
  FilePersist persist = device();
  JCRuntimeImpl runtime;
  TraceCapture capture(trace::kError);

  writeFile(container, Bytes(27, 0x5A));
  EXPECT_EQ(loadContainer(persist, runtime), 0x80070057u);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: encrypted payload too small (27)"), 1u);
  EXPECT_EQ(capture.sink().count("AesGcmDecrypt"), 0u);

  // The largest container is read (and then fails authentication); one byte more is not read.
  fs::resize_file(container, 8388608);
  capture.sink().clear();
  EXPECT_EQ(loadContainer(persist, runtime), kTagMismatch);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: AesGcmDecrypt hr=0xD000A002"), 1u);
  fs::resize_file(container, 8388609);
  capture.sink().clear();
  EXPECT_EQ(loadContainer(persist, runtime), 0x800700DFu);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: file too large (8388609 bytes)"), 1u);
  EXPECT_EQ(capture.sink().count("AesGcmDecrypt"), 0u);
  EXPECT_EQ(runtime.getApplet(), nullptr);
}

TEST_F(FilePersistTest, AnyFlippedBitIsRefused) {
  FilePersist writer = device();
  personalisedCard(writer);
  const Bytes good = readFile(container);
  const std::size_t bits = good.size() * 8;
  // Nonce, ciphertext (start, middle, end) and tag.
  const std::size_t samples[] = {0, 7, 95, 96, 97, bits / 2, bits - 129, bits - 128, bits - 64, bits - 1};
  for (std::size_t bit : samples) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    Bytes damaged = good;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    writeFile(container, damaged);
    FilePersist reader = device();
    JCRuntimeImpl runtime;
    TraceCapture capture(trace::kError);
    EXPECT_EQ(loadContainer(reader, runtime), kTagMismatch);
    EXPECT_EQ(capture.sink().count("FilePersist::loadInto: AesGcmDecrypt hr=0xD000A002"), 1u);
    EXPECT_EQ(runtime.getApplet(), nullptr);
    EXPECT_TRUE(reader.refusesSaving());
  }
  writeFile(container, good);
  FilePersist reader = device();
  JCRuntimeImpl runtime;
  EXPECT_EQ(loadContainer(reader, runtime), 0u);
}

TEST_F(FilePersistTest, PlainCopyIsTheCompressedPayload) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  addGeneratedKey(*runtime);
  const Bytes sealed = readFile(container);

  const fs::path plainPath = drive / "Quillon.decrypted.bin";
  FilePersist plain = FilePersist::plain(plainPath.string());
  EXPECT_FALSE(plain.encrypted());
  ASSERT_EQ(plain.save(*runtime), 0u);
  const Bytes payload = readFile(plainPath);
  EXPECT_EQ(payload.size() + 28, sealed.size());

  std::uint8_t key[32];
  ASSERT_TRUE(container::DeriveDeviceKey(kStickSerial, kVendor, kProduct, kRevision, key));
  ossl::SecureBytes opened;
  ASSERT_EQ(container::AesGcmDecrypt(key, sealed.data(), sealed.size(), opened), 0u);
  EXPECT_EQ(Bytes(opened.begin(), opened.end()), payload);

  // The plain copy loads back as the same card.
  JCRuntimeImpl copy;
  container::FileHandle fd(::open(plainPath.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(plain.loadInto(copy, installer, fd.get()), 0u);
  EXPECT_EQ(*FilePersist::snapshotHeap(copy), *FilePersist::snapshotHeap(*runtime));
}

TEST_F(FilePersistTest, NoContainerGivesAnEmptyRuntimeSilently) {
  FilePersist persist = device();
  TraceCapture capture;
  auto runtime = persist.createRuntime(installer);
  ASSERT_NE(runtime, nullptr);
  EXPECT_EQ(runtime->getApplet(), nullptr);
  EXPECT_TRUE(capture.sink().lines().empty());
  EXPECT_FALSE(persist.refusesSaving());

  // An empty file holds no card either.
  writeFile(container, {});
  auto again = persist.createRuntime(installer);
  EXPECT_EQ(again->getApplet(), nullptr);
  EXPECT_TRUE(capture.sink().lines().empty());
  EXPECT_FALSE(persist.refusesSaving());
}

TEST_F(FilePersistTest, AnotherDeviceCannotOpenTheContainer) {
  FilePersist writer = device();
  personalisedCard(writer);
  const Bytes stored = readFile(container);

  FilePersist other = device("0401A5C3E7F3");  // one serial character apart
  TraceCapture capture(trace::kError);
  auto runtime = other.createRuntime(installer);
  EXPECT_EQ(runtime->getApplet(), nullptr);
  EXPECT_EQ(capture.sink().count("FilePersist::loadInto: AesGcmDecrypt hr=0xD000A002"), 1u);
  EXPECT_EQ(capture.sink().count("FilePersist::createRuntime: loadInto hr=0xD000A002, starting fresh"), 1u);
  EXPECT_TRUE(other.refusesSaving());
  EXPECT_EQ(readFile(container), stored);
}

TEST_F(FilePersistTest, UnreadableContainerIsNeverOverwritten) {
  const Bytes garbage(1000, 0xA5);
  writeFile(container, garbage);
  FilePersist persist = device();
  auto runtime = persist.createRuntime(installer);
  EXPECT_EQ(runtime->getApplet(), nullptr);
  ASSERT_TRUE(persist.refusesSaving());

  // A card built in that runtime is not written over the unreadable one.
  GidsApplet::install(*runtime);
  personaliseCard(*runtime);
  TraceCapture capture(trace::kError);
  EXPECT_EQ(persist.save(*runtime), FilePersist::kUnreadableContainer);
  EXPECT_EQ(capture.sink().count("could not be loaded, refusing to overwrite it"), 1u);
  EXPECT_EQ(readFile(container), garbage);
  EXPECT_TRUE(strayFiles().empty());

  // A new initialisation, which never tried to load it, replaces it.
  FilePersist initialisation = device();
  ASSERT_EQ(initialisation.save(*runtime), 0u);
  FilePersist reader = device();
  EXPECT_NE(reader.createRuntime(installer)->getApplet(), nullptr);
  EXPECT_FALSE(reader.refusesSaving());
}

TEST_F(FilePersistTest, ContainerThatFailsLaterStagesIsNotOverwrittenEither) {
  JCRuntimeImpl source;
  GidsApplet::install(source);
  personaliseCard(source);
  const auto xml = FilePersist::snapshotHeap(source);
  ASSERT_TRUE(xml);
  std::string document(xml->begin(), xml->end());

  // Restoration fails: a document the archive cannot read.
  writeSealed(document.substr(0, document.size() / 2));
  Bytes stored = readFile(container);
  {
    FilePersist persist = device();
    TraceCapture capture(trace::kError);
    auto runtime = persist.createRuntime(installer);
    EXPECT_EQ(capture.sink().count("FilePersist::loadInto: restoreHeap hr=0x80004005"), 1u);
    EXPECT_TRUE(persist.refusesSaving());
    EXPECT_EQ(persist.save(source), FilePersist::kUnreadableContainer);
    EXPECT_EQ(readFile(container), stored);
  }
  // Restoration throws: the exception reaches the caller, the refusal stays.
  document.replace(document.find("<BerTlvFile type=\"1\""), 20, "<BerTlvFile type=\"4\"");
  writeSealed(document);
  stored = readFile(container);
  FilePersist persist = device();
  EXPECT_THROW(persist.createRuntime(installer), SerializationException);
  EXPECT_TRUE(persist.refusesSaving());
  EXPECT_EQ(persist.save(source), FilePersist::kUnreadableContainer);
  EXPECT_EQ(readFile(container), stored);
}

TEST_F(FilePersistTest, OddThingsNamedLikeTheContainerAreNotFollowed) {
  FilePersist writer = device();
  auto card = personalisedCard(writer);
  const fs::path elsewhere = drive / "elsewhere.bin";
  fs::rename(container, elsewhere);
  const Bytes target = readFile(elsewhere);

  // A symbolic link to a valid container: not followed, reported, never written through.
  fs::create_symlink(elsewhere, container);
  {
    FilePersist persist = device();
    TraceCapture capture(trace::kError);
    auto runtime = persist.createRuntime(installer);
    EXPECT_EQ(runtime->getApplet(), nullptr);
    EXPECT_EQ(capture.sink().count("FilePersist::createRuntime: open "), 1u);
    EXPECT_TRUE(persist.refusesSaving());
    EXPECT_EQ(persist.save(*card), FilePersist::kUnreadableContainer);
  }
  EXPECT_TRUE(fs::is_symlink(container));
  EXPECT_EQ(readFile(elsewhere), target);
  // An initialisation replaces the link itself, not what it points to.
  FilePersist initialisation = device();
  ASSERT_EQ(initialisation.save(*card), 0u);
  EXPECT_FALSE(fs::is_symlink(container));
  EXPECT_EQ(readFile(elsewhere), target);

  // A FIFO does not block the load, and a directory is no container.
  fs::remove(container);
  ASSERT_EQ(::mkfifo(container.c_str(), 0600), 0);
  {
    FilePersist persist = device();
    TraceCapture capture(trace::kError);
    auto runtime = persist.createRuntime(installer);
    EXPECT_EQ(runtime->getApplet(), nullptr);
    EXPECT_EQ(capture.sink().count("FilePersist::loadInto: not a regular file"), 1u);
    EXPECT_TRUE(persist.refusesSaving());
  }
  fs::remove(container);
  fs::create_directories(container / "inside");
  FilePersist persist = device();
  EXPECT_EQ(persist.createRuntime(installer)->getApplet(), nullptr);
  EXPECT_TRUE(persist.refusesSaving());
  // Nor can a fresh writer replace a directory: the rename fails, nothing is left behind.
  FilePersist fresh = device();
  TraceCapture capture(trace::kError);
  EXPECT_NE(fresh.save(*card), 0u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: MoveFileExW failed hr=0x"), 1u);
  EXPECT_EQ(strayFiles(), std::set<std::string>{"elsewhere.bin"});
}

TEST_F(FilePersistTest, FailedWriteLeavesTheOldContainerWhole) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  const Bytes before = readFile(container);
  ASSERT_GT(before.size(), 64u);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A file size limit makes the write fail part-way, as a full disk would.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t old = limit.rlim_cur;
    limit.rlim_cur = 64;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 0;
    {
      TraceCapture capture(trace::kError);
      if (transmitHex(*runtime, "002000800431313131").sw != 0x63C2)
        code = 10;
      else if (capture.sink().count("FilePersist::save: WriteFile failed hr=0x800700DF") != 1)
        code = 11;
      else if (readFile(container) != before)
        code = 12;
      else if (!strayFiles().empty())
        code = 13;
    }
    limit.rlim_cur = old;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    // The failed save did not count as written: the next one writes in full.
    if (code == 0 && persist.save(*runtime) != 0) code = 14;
    if (code == 0 && readFile(container) == before) code = 15;
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(strayFiles().empty());
  // What the child wrote in the end is the card with one wrong PIN.
  FilePersist reader = device();
  auto reloaded = reader.createRuntime(installer);
  ASSERT_NE(reloaded->getApplet(), nullptr);
  EXPECT_EQ(transmitHex(*reloaded, "0020008000").sw, 0x63C2);
}

TEST_F(FilePersistTest, WrongPinIsStoredBeforeTheAnswerLeaves) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  ASSERT_EQ(transmitHex(*runtime, "002000800431313131").sw, 0x63C2);

  // Pulled out now, the stick already holds the count.
  FilePersist reader = device();
  auto reloaded = reader.createRuntime(installer);
  ASSERT_NE(reloaded->getApplet(), nullptr);
  EXPECT_EQ(transmitHex(*reloaded, "0020008000").sw, 0x63C2);
  EXPECT_EQ(transmitHex(*reloaded, "002000800431313131").sw, 0x63C1);
  FilePersist third = device();
  EXPECT_EQ(transmitHex(*third.createRuntime(installer), "0020008000").sw, 0x63C1);
}

TEST_F(FilePersistTest, UnderivableKeyIsNeverUsed) {
  FilePersist writer = device();
  auto card = personalisedCard(writer);
  const Bytes stored = readFile(container);

  const std::string longVendor(300, 'V');
  FilePersist broken(kStickSerial, longVendor.c_str(), kProduct, kRevision, drive.string());
  EXPECT_FALSE(broken.hasKey());
  TraceCapture capture(trace::kError);
  EXPECT_EQ(broken.save(*card), FilePersist::kNoDeviceKey);
  EXPECT_EQ(readFile(container), stored);
  JCRuntimeImpl runtime;
  EXPECT_EQ(loadContainer(broken, runtime), FilePersist::kNoDeviceKey);
  EXPECT_EQ(runtime.getApplet(), nullptr);
  EXPECT_EQ(capture.sink().count("no device key"), 2u);
}

TEST_F(FilePersistTest, MissingDriveFailsTheCreation) {
  JCRuntimeImpl source;
  GidsApplet::install(source);
  FilePersist persist("1", kVendor, kProduct, kRevision, (drive / "gone").string());
  TraceCapture capture(trace::kError);
  EXPECT_EQ(persist.save(source), 0x80070002u);
  EXPECT_EQ(capture.sink().count("FilePersist::save: CreateFileW failed hr=0x80070002"), 1u);
  // The failed save is retried in full once the drive is there.
  fs::create_directory(drive / "gone");
  EXPECT_EQ(persist.save(source), 0u);
  EXPECT_TRUE(fs::is_regular_file(drive / "gone" / FilePersist::kContainerName));
}

TEST_F(FilePersistTest, DrivePathsJoinOnce) {
  EXPECT_EQ(FilePersist("1", "v", "p", "r", "/media/stick/").path(), "/media/stick/Quillon2.bin");
  EXPECT_EQ(FilePersist("1", "v", "p", "r", "/media/stick").path(), "/media/stick/Quillon2.bin");
  EXPECT_EQ(FilePersist("1", "v", "p", "r", "/").path(), "/Quillon2.bin");
}

}  // namespace
}  // namespace quillon::test

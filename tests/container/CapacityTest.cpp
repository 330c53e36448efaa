// The card's capacity against what the loader accepts: a card filled to its last
// object refuses the next with 6A84, unchanged, and its document stays within
// the loader's limits, so the full card saves and opens with every object.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/FileHandle.h"
#include "container/CabinetCodec.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "gids/GidsFileSystem.h"
#include "runtime/StateLimits.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr std::uint16_t kFirstFile = 0xA100;
constexpr std::size_t kRecordsPerFile = 30;
// The largest value whose object (DF xx 82 xx xx, then the value) reads back.
constexpr std::size_t kLargestValue = 49148 - 5;

struct StoredObject {
  std::uint16_t file;
  std::uint8_t tag;
  Bytes value;
};

std::string hex16(std::uint16_t v) { return toHex({static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}); }

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Tag, BER length (below 65536) and value.
Bytes tlv(const Bytes& tag, const Bytes& value) {
  const auto n = value.size();
  Bytes out = join(tag, n < 0x80 ? Bytes{} : n < 0x100 ? Bytes{0x81} : Bytes{0x82, static_cast<std::uint8_t>(n >> 8)});
  out.push_back(static_cast<std::uint8_t>(n));
  return join(out, value);
}

class CapacityTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    ASSERT_EQ(sw("002000800431323334"), 0x9000);
  }
  FilePersist device() { return FilePersist("0401A5C3E7F2", "Brindle", "Flash Disk", "1.00", drive.path().string()); }

  static std::uint16_t createFile(IJCRuntime& card, std::uint16_t id) {
    if (transmitHex(card, "00A4000C023FFF").sw != 0x9000) return 0;
    const std::uint16_t created = transmitHex(card, "00E000000E620C8201398302" + hex16(id) + "8C03033000").sw;
    return created != 0x9000 ? created : transmitHex(card, "0044000000").sw;
  }
  // Sends `data` as a chain of 255-byte pieces: the first status that is not
  // 9000. A chain refused part-way is closed by an empty command, which stores
  // nothing (6984).
  static std::uint16_t sendChained(IJCRuntime& card, const std::string& header, const Bytes& data) {
    for (std::size_t at = 0; at < data.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - at);
      const bool last = at + n == data.size();
      const Bytes piece(data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.begin() + static_cast<std::ptrdiff_t>(at + n));
      const std::uint16_t status =
          transmitHex(card, (last ? "00" : "10") + header + toHex({static_cast<std::uint8_t>(n)}) + toHex(piece)).sw;
      if (status == 0x9000) continue;
      EXPECT_TRUE(last || transmitHex(card, "00" + header + "00").sw == 0x6984);
      return status;
    }
    return 0x9000;
  }
  static std::uint16_t putObject(IJCRuntime& card, const StoredObject& object) {
    return sendChained(card, "DB" + hex16(object.file), tlv({0xDF, object.tag}, object.value));
  }
  static Response getObject(IJCRuntime& card, const StoredObject& object) {
    return readAll(card, transmitHex(card, "00CB" + hex16(object.file) + "045C02DF" + toHex({object.tag})));
  }

  // Stores objects of `size` random bytes, opening new files as they fill, until
  // the card refuses one; the status of the refusal.
  std::uint16_t fillWith(std::size_t size) {
    for (;;) {
      const std::size_t index = stored.size() / kRecordsPerFile;
      if (index == files) {
        const std::uint16_t created = createFile(runtime, static_cast<std::uint16_t>(kFirstFile + files));
        if (created != 0x9000) return created;
        ++files;
      }
      StoredObject next{static_cast<std::uint16_t>(kFirstFile + index),
                        static_cast<std::uint8_t>(1 + stored.size() % kRecordsPerFile), randomBytes(size)};
      if (const std::uint16_t status = putObject(runtime, next); status != 0x9000) {
        refused = next;
        return status;
      }
      stored.push_back(std::move(next));
    }
  }
  Bytes randomBytes(std::size_t n) {
    Bytes bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  }
  std::string document() {
    const auto xml = FilePersist::snapshotHeap(runtime);
    EXPECT_TRUE(xml.has_value());
    return xml ? std::string(xml->begin(), xml->end()) : std::string();
  }
  // The document stays within the frame plus what its blocks were charged.
  void expectDocumentWithinCharge() {
    const std::size_t size = document().size();
    EXPECT_LE(size, 16384 + runtime.chargedBytes());
    EXPECT_LE(size, 2097152u);
  }

  TempDir drive;
  GidsAppletInstaller installer;
  std::mt19937 random{20261207};
  std::vector<StoredObject> stored;
  StoredObject refused;
  std::size_t files = 0;
};

TEST_F(CapacityTest, AFullCardRefusesTheNextObjectAndOpensAgainWithEveryObject) {
  const std::string publicKey = addGeneratedKey(runtime);  // key file B081
  // Files enough for every object, so that only PUT DATA meets the capacity.
  for (; files < 4; ++files) ASSERT_EQ(createFile(runtime, static_cast<std::uint16_t>(kFirstFile + files)), 0x9000);
  // An object the loader could not read back is refused even on an empty card.
  const std::string empty = document();
  EXPECT_EQ(putObject(runtime, {kFirstFile, 0x01, randomBytes(kLargestValue + 1)}), 0x6A84);
  EXPECT_EQ(document(), empty);

  // Incompressible objects, the largest first, then smaller ones into what is left.
  for (const std::size_t size : {kLargestValue, std::size_t{4096}, std::size_t{512}, std::size_t{64}, std::size_t{1}})
    ASSERT_EQ(fillWith(size), 0x6A84) << size;
  EXPECT_GT(stored.size(), 30u);
  ASSERT_LT(stored.size(), files * kRecordsPerFile);
  EXPECT_EQ(refused.value.size(), 1u);
  expectDocumentWithinCharge();

  // Refusals change nothing: the last object, a larger replacement, a new file.
  const std::string full = document();
  EXPECT_EQ(putObject(runtime, refused), 0x6A84);
  const StoredObject& small = stored.back();
  EXPECT_EQ(putObject(runtime, {small.file, small.tag, randomBytes(small.value.size() + 1)}), 0x6A84);
  EXPECT_EQ(createFile(runtime, 0xA1FF), 0x6A84);
  EXPECT_EQ(sw("0047000008AC06800107830181"), 0x6A84);  // a new key pair for B081
  const Bytes der = rsaPrivateKeyDer(generateRsa(1024).get());
  const Bytes import = tlv({0x70}, join(fromHex("840181"), tlv({0xA5}, join(fromHex("830102"), tlv({0x87}, der)))));
  EXPECT_EQ(sendChained(runtime, "DB3FFF", import), 0x6A84);
  EXPECT_EQ(document(), full);
  EXPECT_EQ(sendAll(kReadPublicKey).data, publicKey);
  // Signing takes working memory, which a full card keeps in reserve.
  ASSERT_EQ(sw("002241B606800157840181"), 0x9000);
  const Response signature = send("002A9E9A333031300D060960864801650304020105000420" + std::string(64, 'A') + "00");
  EXPECT_EQ(signature.sw, 0x9000);
  EXPECT_EQ(signature.data.size(), 2u * 256);
  EXPECT_EQ(sw("00A4000C02A1FF"), 0x6A82);

  // Saved and loaded into a fresh runtime, the card holds every object and no other.
  FilePersist writer = device();
  ASSERT_EQ(writer.save(runtime), 0u);
  const auto path = drive.path() / FilePersist::kContainerName;
  EXPECT_LE(std::filesystem::file_size(path), 8388608u);
  JCRuntimeImpl reopened;
  FilePersist reader = device();
  FileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(reader.loadInto(reopened, installer, fd.get()), 0u);
  ASSERT_EQ(transmitHex(reopened, "002000800431323334").sw, 0x9000);
  for (const StoredObject& object : stored) {
    const Response answer = getObject(reopened, object);
    ASSERT_EQ(answer.sw, 0x9000);
    ASSERT_TRUE(answer.data == toHex(tlv({0xDF, object.tag}, object.value))) << object.file << " " << int{object.tag};
  }
  EXPECT_EQ(getObject(reopened, refused).sw, 0x6A88);

  // The full card still erases an object, which makes room again.
  const StoredObject& large = stored.front();
  const StoredObject erased{large.file, large.tag, {}};
  EXPECT_EQ(putObject(reopened, erased), 0x9000);
  EXPECT_EQ(putObject(reopened, erased), 0x9000);
  EXPECT_EQ(getObject(reopened, large).sw, 0x6A88);
  EXPECT_EQ(putObject(reopened, refused), 0x9000);
}

TEST_F(CapacityTest, ManySmallObjectsAndKeysStayWithinTheirCharge) {
  addGeneratedKey(runtime);  // key file B081 with a 2048-bit pair
  // One-byte objects until the application holds 30 files of 30 records: the
  // most XML per byte stored that a card can have.
  EXPECT_EQ(fillWith(1), 0x6984);  // CREATE FILE in a full application
  EXPECT_EQ(stored.size(), files * kRecordsPerFile);
  EXPECT_EQ(applet->files().childCount, 30u);
  expectDocumentWithinCharge();
}

}  // namespace
}  // namespace quillon::test

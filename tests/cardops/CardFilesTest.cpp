// The host-side reading of data objects and minidriver files, on bytes alone.
#include <gtest/gtest.h>

#include "cardops/CardFiles.h"
#include "cardops/DataObject.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

TEST(DataObjectTest, ReadsOnlyWhatIsThere) {
  struct Row {
    const char* bytes;
    bool ok;
    std::uint32_t tag;
    std::size_t valueSize;
    std::size_t size;
  };
  const Row rows[] = {
      {"970103", true, 0x97, 1, 3},
      {"DF1F03AABBCCDD", true, 0xDF1F, 3, 6},  // what follows is not the object's
      {"7F7106970103930103", true, 0x7F71, 6, 9},
      {"DF20810100", true, 0xDF20, 1, 5},
      {"DF2082000100", true, 0xDF20, 1, 6},
      {"DF2000", true, 0xDF20, 0, 3},
      {"", false, 0, 0, 0},
      {"DF", false, 0, 0, 0},                // tag without its second byte
      {"DF20", false, 0, 0, 0},              // no length
      {"DF2002AA", false, 0, 0, 0},          // value cut short
      {"DF2081", false, 0, 0, 0},            // length field cut short
      {"DF208201", false, 0, 0, 0},          // length field cut short
      {"DF20830000010000", false, 0, 0, 0},  // three-byte lengths are not card answers
      {"DF2080", false, 0, 0, 0},            // indefinite length
      {"DF8181810100", false, 0, 0, 0},      // tag longer than three bytes
  };
  for (const Row& row : rows) {
    const Bytes bytes = fromHex(row.bytes);
    cardops::DataObject object;
    ASSERT_EQ(cardops::readDataObject(bytes, object), row.ok) << row.bytes;
    if (!row.ok) continue;
    EXPECT_EQ(object.tag, row.tag) << row.bytes;
    EXPECT_EQ(object.value.size(), row.valueSize) << row.bytes;
    EXPECT_EQ(object.size, row.size) << row.bytes;
  }
}

TEST(DataObjectTest, FindsTheTagInASequence) {
  const Bytes bytes = fromHex("9701029301039501FF");
  cardops::DataObject object;
  ASSERT_TRUE(cardops::findDataObject(bytes, 0x93, object));
  EXPECT_EQ(object.value[0], 0x03);
  EXPECT_FALSE(cardops::findDataObject(bytes, 0x96, object));
  EXPECT_FALSE(cardops::findDataObject(fromHex("970502"), 0x97, object));
}

TEST(CardFilesTest, MasterFileOfThePersonalisationScript) {
  const Bytes file = fromHex(
      "016d736370000000000000000000000000000000000000000000a00000000000000000000000636172646964000000000020df00"
      "0012a00000000000000000000000636172646170707300000021df000010a00000000000000000000000636172646366000000"
      "000022df000010a000006d7363700000000000636d617066696c6500000023df000010a00000");
  std::vector<cardops::MasterFileEntry> entries;
  std::string error;
  ASSERT_TRUE(cardops::parseMasterFile(file, entries, error)) << error;
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].directory, "mscp");
  EXPECT_EQ(entries[0].file, "");
  EXPECT_EQ(entries[0].fileId, 0xA000);
  EXPECT_EQ(entries[1].file, "cardid");
  EXPECT_EQ(entries[1].tag, 0xDF20);
  EXPECT_EQ(entries[1].fileId, 0xA012);
  EXPECT_EQ(entries[4].directory, "mscp");
  EXPECT_EQ(entries[4].file, "cmapfile");
  EXPECT_EQ(entries[4].tag, 0xDF23);
  for (const auto& e : entries) EXPECT_FALSE(cardops::isCertificateEntry(e)) << e.file;
}

TEST(CardFilesTest, CertificateEntriesByName) {
  const std::pair<cardops::MasterFileEntry, bool> rows[] = {
      {{"mscp", "kxc00", 0xDF24, 0xA010}, true},  {{"mscp", "ksc13", 0xDF25, 0xA010}, true},
      {{"", "kxc00", 0xDF24, 0xA010}, false},     {{"mscp", "kxc0", 0xDF24, 0xA010}, false},
      {{"mscp", "kxcAB", 0xDF24, 0xA010}, false}, {{"mscp", "cmapfile", 0xDF23, 0xA010}, false},
  };
  for (const auto& [entry, certificate] : rows)
    EXPECT_EQ(cardops::isCertificateEntry(entry), certificate) << entry.directory << "/" << entry.file;
}

}  // namespace
}  // namespace quillon::test

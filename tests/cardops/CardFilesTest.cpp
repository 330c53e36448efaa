// The host-side reading of data objects and minidriver names, on bytes alone.
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
      {"DF20810100", true, 0xDF20, 1, 5},
      {"DF2082000100", true, 0xDF20, 1, 6},
      {"", false, 0, 0, 0},
      {"DF", false, 0, 0, 0},                // tag without its second byte
      {"DF2002AA", false, 0, 0, 0},          // value cut short
      {"DF208201", false, 0, 0, 0},          // length field cut short
      {"DF20830000010000", false, 0, 0, 0},  // three-byte lengths are not card answers
      {"DF2080", false, 0, 0, 0},            // indefinite length
      {"DF8181810100", false, 0, 0, 0},      // tag longer than three bytes
  };
  for (const Row& row : rows) {
    cardops::DataObject object;
    ASSERT_EQ(cardops::readDataObject(fromHex(row.bytes), object), row.ok) << row.bytes;
    if (!row.ok) continue;
    EXPECT_EQ(object.tag, row.tag) << row.bytes;
    EXPECT_EQ(object.value.size(), row.valueSize) << row.bytes;
    EXPECT_EQ(object.size, row.size) << row.bytes;
  }
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

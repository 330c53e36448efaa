// The host-side reading of data objects and minidriver names, on bytes alone.
#include <gtest/gtest.h>

#include <cstdio>

#include "cardops/CardFiles.h"
#include "cardops/DataObject.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

// Each record of cardops/data-objects.vec: bytes, and what is read from them.
TEST(DataObjectTest, ReadsOnlyWhatIsThere) {
  const auto records = readVecFile("cardops/data-objects.vec");
  ASSERT_EQ(records.size(), 11u);
  for (const VecRecord& r : records) {
    cardops::DataObject object;
    char read[48] = "none";
    if (cardops::readDataObject(fromHex(r.at("Bytes")), object))
      std::snprintf(read, sizeof read, "%X %zu %zu", static_cast<unsigned>(object.tag), object.value.size(),
                    object.size);
    EXPECT_EQ(read, r.at("Read")) << r.at("Bytes");
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

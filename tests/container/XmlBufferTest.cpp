// Blobs and raw buffers in the XML archives: sizes, Base64 text and its faults.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "XmlTestSupport.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t length) {
  Bytes data(length);
  EXPECT_EQ(RAND_bytes(data.data(), static_cast<int>(length)), 1);
  return data;
}

class XmlBufferTest : public test::XmlArchiveFixture {
 protected:
  // Reads a blob from `<E attributes/>` into `data`; returns whether the archive failed.
  bool readBlob(const std::string& attributes, Bytes& data) {
    const std::string text = document("<E " + attributes + "/>");
    auto reader = open(text);
    reader.pushElem("E");
    reader.ioBlob(data);
    return reader.failed();
  }
  bool readRaw(const std::string& attributes, std::uint8_t* data, std::size_t length) {
    const std::string text = document("<E " + attributes + "/>");
    auto reader = open(text);
    reader.pushElem("E");
    reader.ioRaw(data, length);
    return reader.failed();
  }
};

TEST_F(XmlBufferTest, AnEmptyBlobIsOnlyItsLength) {
  const std::string text = write([](XmlWriteArchive& archive) {
    Bytes none;
    archive.pushElem("E");
    archive.ioBlob(none);
    archive.popElem();
  });
  EXPECT_NE(text.find("<E blobLen=\"0\"/>"), std::string::npos) << text;
  EXPECT_EQ(text.find("blobData"), std::string::npos);

  Bytes data{1, 2, 3};
  EXPECT_FALSE(readBlob("blobLen=\"0\"", data));
  EXPECT_TRUE(data.empty());
}

TEST_F(XmlBufferTest, BlobsAndRawBuffersRoundTripUpTo49148Bytes) {
  for (std::size_t length : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{32}, std::size_t{49148}}) {
    Bytes blob = randomBytes(length);
    Bytes raw = randomBytes(length);
    const std::string text = write([&](XmlWriteArchive& archive) {
      archive.pushElem("E");
      archive.ioBlob(blob);
      archive.ioRaw(raw.data(), raw.size());
      archive.popElem();
    });
    Bytes blobBack{9};
    Bytes rawBack(length, 0);
    auto reader = open(text);
    reader.pushElem("E");
    reader.ioBlob(blobBack);
    reader.ioRaw(rawBack.data(), rawBack.size());
    EXPECT_FALSE(reader.failed()) << length;
    EXPECT_EQ(blobBack, blob) << length;
    EXPECT_EQ(rawBack, raw) << length;
  }
}

TEST_F(XmlBufferTest, TheWriterRefusesWhatCouldNotBeReadBack) {
  Bytes big(49149, 0x5A);
  {
    XmlWriteArchive archive(runtime);
    test::TraceCapture capture(trace::kError);
    archive.pushElem("E");
    archive.ioBlob(big);
    EXPECT_TRUE(archive.failed());
    EXPECT_EQ(capture.sink().count("XmlWriteArchive::ioBlob: blob too large (49149 bytes)"), 1u);
  }
  {
    XmlWriteArchive archive(runtime);
    test::TraceCapture capture(trace::kError);
    archive.pushElem("E");
    archive.ioRaw(big.data(), big.size());
    EXPECT_TRUE(archive.failed());
    EXPECT_EQ(capture.sink().count("XmlWriteArchive::ioRaw: buffer too large (49149 bytes)"), 1u);
  }
}

TEST_F(XmlBufferTest, AStoredLengthOver49148FailsBeforeDecoding) {
  test::TraceCapture capture(trace::kError);
  Bytes data{7};
  // The text is not Base64 at all: only the length is looked at.
  EXPECT_TRUE(readBlob("blobLen=\"49149\" blobData=\"!!!!\"", data));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioBlob: blob too large (49149 bytes)"), 1u);
  EXPECT_EQ(capture.sink().count("base64"), 0u);
  EXPECT_EQ(data, Bytes{7});

  std::uint8_t raw[4] = {};
  std::vector<std::uint8_t> huge(49149);
  EXPECT_TRUE(readRaw("rawData=\"AAAA\"", huge.data(), huge.size()));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioRaw: buffer too large (49149 bytes)"), 1u);
  EXPECT_FALSE(readRaw("rawData=\"AAAA\"", raw, 4));
}

TEST_F(XmlBufferTest, BlobDataThatDoesNotMatchItsLengthFailsAndLeavesNoBuffer) {
  test::TraceCapture capture(trace::kError);
  Bytes data{7, 7};
  EXPECT_TRUE(readBlob("blobLen=\"5\" blobData=\"AQIDBA==\"", data));  // 4 bytes
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioBlob: base64 error (expected 5 got 4)"), 1u);
  EXPECT_TRUE(data.empty());

  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQ*D\"", data));
  EXPECT_TRUE(data.empty());
  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\"", data));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::findAttr: 'blobData' not found"), 1u);
  EXPECT_EQ(data, Bytes{7});
}

TEST_F(XmlBufferTest, TextLongerThanTheBufferIsCutThenDecoded) {
  // 3 bytes allot room for 8 characters: the second group starts with the output full.
  Bytes data;
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQIDBAUG\"", data));
  // 4 bytes allot room for 8 characters: the bytes past the fourth are dropped.
  EXPECT_FALSE(readBlob("blobLen=\"4\" blobData=\"AQIDBAUG\"", data));
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));
  // 1 byte allots room for 4 characters: the second group is never seen.
  std::uint8_t one = 0;
  EXPECT_FALSE(readRaw("rawData=\"AQ==!!!!\"", &one, 1));
  EXPECT_EQ(one, 1);
}

TEST_F(XmlBufferTest, RawTextFillsTheStartOfTheBuffer) {
  std::uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_FALSE(readRaw("rawData=\"AQI=\"", buffer, 4));
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_EQ(buffer[2], 9);

  test::TraceCapture capture(trace::kError);
  EXPECT_TRUE(readRaw("rawData=\"AQ I\"", buffer, 4));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioRaw: base64 decode error"), 1u);
  EXPECT_TRUE(readRaw("other=\"AQID\"", buffer, 4));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::findAttr: 'rawData' not found"), 1u);
}

TEST_F(XmlBufferTest, ARawBufferOfLengthZeroIsNeitherWrittenNorRead) {
  const std::string text = write([](XmlWriteArchive& archive) {
    archive.pushElem("E");
    archive.ioRaw(nullptr, 0);
    archive.popElem();
  });
  EXPECT_NE(text.find("<E/>"), std::string::npos) << text;
  EXPECT_FALSE(readRaw("", nullptr, 0));
}

}  // namespace
}  // namespace quillon

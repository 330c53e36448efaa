// The XML archives: what the writer lays out, every kind of value at its limits,
// how the reader parses odd numbers and skips what is not read, the depth,
// attribute and name limits, the failed flag, and blobs and raw buffers up to the
// 49,148-byte limit with the text that does not fit its length.
#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

class XmlArchiveTest : public ::testing::Test {
 protected:
  // The document `body` writes; empty (and a test failure) when the archive failed.
  std::string write(const std::function<void(XmlWriteArchive&)>& body) {
    XmlWriteArchive archive(runtime);
    body(archive);
    EXPECT_FALSE(archive.failed());
    const auto document = archive.detachStream();
    return document ? std::string(document->begin(), document->end()) : std::string();
  }
  // A reader over `text`, which must outlive it.
  XmlReadArchive open(const std::string& text) {
    return XmlReadArchive(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), runtime);
  }
  // A document as another writer might lay it out: the root around `body`.
  static std::string document(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<GIDS>" + body + "</GIDS>";
  }
  // Reads `<E attributes/>` through `read`; whether the archive failed.
  bool readElement(const std::string& attributes, const std::function<void(XmlReadArchive&)>& read) {
    const std::string text = document("<E " + attributes + "/>");
    auto reader = open(text);
    reader.pushElem("E");
    read(reader);
    return reader.failed();
  }
  // Reads attribute `a` with text `value` into a T that starts at `initial`.
  template <class T>
  T readAs(const std::string& value, T initial = T(99)) {
    T result = initial;
    EXPECT_FALSE(readElement("a=\"" + value + "\"", [&](XmlReadArchive& r) { r.io("a", result); })) << value;
    return result;
  }
  bool readBlob(const std::string& attributes, Bytes& data) {
    return readElement(attributes, [&](XmlReadArchive& r) { r.ioBlob(data); });
  }
  bool readRaw(const std::string& attributes, std::uint8_t* data, std::size_t length) {
    return readElement(attributes, [&](XmlReadArchive& r) { r.ioRaw(data, length); });
  }

  JCRuntimeImpl runtime;
};

// One value of every kind, written and read by the same code, as serialize() does.
using AllKinds = std::tuple<std::int32_t, std::int16_t, std::int8_t, bool, std::uint64_t, std::uint32_t, std::uint16_t,
                            std::uint8_t>;

void serializeAll(IArchive& archive, AllKinds& values) {
  static const char* const kNames[] = {"i32", "i16", "i8", "flag", "u64", "u32", "u16", "u8"};
  std::size_t i = 0;
  archive.pushElem("Values");
  std::apply([&](auto&... value) { (archive.io(kNames[i++], value), ...); }, values);
  archive.popElem();
}

TEST_F(XmlArchiveTest, WritesAnIndentedDocumentUnderGids) {
  const std::string text = write([](XmlWriteArchive& archive) {
    std::int16_t x = -300;
    std::vector<std::uint8_t> blob{1, 2, 3};
    archive.pushElem("A");
    archive.io("x", x);
    archive.pushElem("B");
    archive.popElem();
    archive.pushElem("C");
    archive.ioBlob(blob);
    archive.popElem();
    archive.popElem();
  });
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<GIDS>\n"
            "  <A x=\"-300\">\n"
            "    <B/>\n"
            "    <C blobLen=\"3\" blobData=\"AQID\"/>\n"
            "  </A>\n"
            "</GIDS>\n");
}

TEST_F(XmlArchiveTest, EveryKindRoundTripsAtItsLimits) {
  using L = std::numeric_limits<std::int32_t>;
  const AllKinds low{L::min(), -32768, -128, false, 0, 0, 0, 0};
  const AllKinds high{L::max(), 32767, 127, true, ~std::uint64_t{0}, ~std::uint32_t{0}, 65535, 255};
  for (AllKinds values : {low, high}) {
    const std::string text = write([&](XmlWriteArchive& archive) { serializeAll(archive, values); });
    AllKinds back{7, 7, 7, !std::get<bool>(values), 7, 7, 7, 7};
    auto reader = open(text);
    serializeAll(reader, back);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(back, values) << text;
  }
}

TEST_F(XmlArchiveTest, NumbersParseAsTheOriginalReaderDoes) {
  // Up to the first non-digit, without failing.
  EXPECT_EQ(readAs<std::uint32_t>("abc"), 0u);
  EXPECT_EQ(readAs<std::uint32_t>("12x"), 12u);
  EXPECT_EQ(readAs<std::uint32_t>(""), 0u);
  // Unsigned fields take no sign and no leading blank; signed ones one leading minus.
  EXPECT_EQ(readAs<std::uint32_t>("-5"), 0u);
  EXPECT_EQ(readAs<std::uint16_t>(" 5"), 0u);
  EXPECT_EQ(readAs<std::int32_t>("-12x"), -12);
  EXPECT_EQ(readAs<std::int32_t>("--1"), 0);
  // Wrapping in their width.
  EXPECT_EQ(readAs<std::uint8_t>("300"), 44);
  EXPECT_EQ(readAs<std::uint64_t>("18446744073709551617"), 1u);
  EXPECT_EQ(readAs<std::int8_t>("-129"), 127);
  EXPECT_EQ(readAs<std::int16_t>("32768"), -32768);
  // 15 characters for 8- and 16-bit signed values, 31 for the other numbers.
  EXPECT_EQ(readAs<std::int16_t>("0000000000000123"), 12);
  EXPECT_EQ(readAs<std::int8_t>("-000000000000012"), -1);
  EXPECT_EQ(readAs<std::uint32_t>(std::string(30, '0') + "78"), 7u);
  // A bool is true only for a leading 1.
  EXPECT_TRUE(readAs<bool>("1abc", false));
  EXPECT_FALSE(readAs<bool>("true", true));
  EXPECT_FALSE(readAs<bool>("01", true));
}

TEST_F(XmlArchiveTest, ReadingIsPositionalAndSkipsWhatIsNotRead) {
  const std::string text = document(
      "<Other  u8=\"5\" i32=\"-7\" ><!-- note --><?pi x?>\n"
      "<Something u16=\"9\"><Deeper/></Something><Skipped/></Other><Last y=\"2\"><H/></Last>");
  auto reader = open(text);
  std::uint8_t u8 = 0, y = 0;
  std::int32_t i32 = 0;
  std::uint16_t u16 = 0;
  reader.pushElem("First");
  reader.io("i32", i32);
  reader.io("u8", u8);
  reader.pushElem("Second");
  reader.io("u16", u16);
  reader.popElem();
  reader.popElem();
  reader.pushElem("Third");
  reader.io("y", y);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(std::tuple(int{u8}, i32, int{u16}, int{y}), std::tuple(5, -7, 9, 2));
  // Leaving without reading H, then the end of the input: quiet until a value is asked for.
  test::TraceCapture capture(trace::kError);
  reader.popElem();
  reader.pushElem("Past");
  EXPECT_FALSE(reader.failed());
  reader.io("y", y);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::findAttr: 'y' not found"), 1u);

  const std::string cut = document("<A>");
  auto unended = open(cut.substr(0, cut.size() - 7));  // no end tags at all
  unended.pushElem("A");
  unended.popElem();
  EXPECT_TRUE(unended.failed());
}

TEST_F(XmlArchiveTest, DepthAttributeCountAndNameLimits) {
  // Thirty-two levels are read and the thirty-third fails.
  const std::string text = write([](XmlWriteArchive& archive) {
    for (int i = 0; i < 33; ++i) archive.pushElem("E");
  });
  auto reader = open(text);
  for (int i = 0; i < 32; ++i) reader.pushElem("E");
  EXPECT_FALSE(reader.failed());
  reader.pushElem("E");
  EXPECT_TRUE(reader.failed());

  std::string attributes;
  for (int i = 0; i < 129; ++i) attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  std::uint32_t last = 0;
  const std::size_t cut = attributes.rfind(" a128");
  EXPECT_FALSE(readElement(attributes.substr(0, cut), [&](XmlReadArchive& r) { r.io("a127", last); }));
  EXPECT_EQ(last, 127u);
  EXPECT_TRUE(readElement(attributes, [](XmlReadArchive&) {}));  // 129 fail when entered
  // The writer cuts names at 127 characters; the cut name reads back.
  const std::string longName(130, 'n'), cutName(127, 'n');
  const std::string named = write([&](XmlWriteArchive& archive) {
    std::uint8_t v = 42;
    archive.pushElem("E");
    archive.io(longName.c_str(), v);
  });
  EXPECT_NE(named.find(" " + cutName + "=\"42\""), std::string::npos);
  auto namedReader = open(named);
  namedReader.pushElem("E");
  namedReader.io(cutName.c_str(), last);
  EXPECT_EQ(last, 42u);
}

TEST_F(XmlArchiveTest, AFailedArchiveDoesNothingMore) {
  const std::string text = document("<A x=\"5\"/><B y=\"6\"/>");
  auto reader = open(text);
  std::uint8_t x = 9, y = 9;
  reader.pushElem("A");
  reader.io("missing", x);
  EXPECT_TRUE(reader.failed());
  reader.io("x", x);
  reader.popElem();
  reader.pushElem("B");
  reader.io("y", y);
  Bytes blob{1, 2};
  reader.ioBlob(blob);
  EXPECT_EQ(std::tuple(int{x}, int{y}), std::tuple(9, 9));
  EXPECT_EQ(blob, (Bytes{1, 2}));

  XmlWriteArchive archive(runtime);
  test::TraceCapture capture(trace::kError);
  archive.pushElem("A");
  archive.pushElem("B");
  archive.popElem();
  archive.io("late", x);  // the start tag of A is already closed
  EXPECT_TRUE(archive.failed());
  archive.pushElem("C");
  EXPECT_EQ(capture.sink().lines().size(), 1u);
  EXPECT_FALSE(archive.detachStream());
}

TEST_F(XmlArchiveTest, WriterRefusesNamesThatWouldMakeTheDocumentUnreadable) {
  for (const char* name : {"", "a b", "1a", "a<b", "x:y"}) {
    XmlWriteArchive elements(runtime);
    elements.pushElem(name);
    EXPECT_TRUE(elements.failed()) << name;
    XmlWriteArchive attributes(runtime);
    std::uint8_t v = 0;
    attributes.io(name, v);
    EXPECT_TRUE(attributes.failed()) << name;
  }
}

TEST_F(XmlArchiveTest, BlobsAndRawBuffersRoundTripUpTo49148Bytes) {
  for (const std::size_t length : {0u, 1u, 2u, 32u, 49148u}) {
    Bytes blob(length), raw(length);
    ASSERT_EQ(RAND_bytes(blob.data(), static_cast<int>(length)) + RAND_bytes(raw.data(), static_cast<int>(length)), 2);
    const std::string text = write([&](XmlWriteArchive& archive) {
      archive.pushElem("E");
      archive.ioBlob(blob);
      archive.ioRaw(raw.data(), raw.size());
    });
    if (length == 0) {
      EXPECT_NE(text.find("<E blobLen=\"0\"/>"), std::string::npos) << text;  // no data, no raw
    }
    Bytes blobBack{9}, rawBack(length, 0);
    auto reader = open(text);
    reader.pushElem("E");
    reader.ioBlob(blobBack);
    reader.ioRaw(rawBack.data(), rawBack.size());
    EXPECT_FALSE(reader.failed()) << length;
    EXPECT_EQ(blobBack, blob) << length;
    EXPECT_EQ(rawBack, raw) << length;
  }
}

TEST_F(XmlArchiveTest, NothingOver49148BytesIsWrittenOrDecoded) {
  Bytes big(49149, 0x5A);
  XmlWriteArchive blobWriter(runtime), rawWriter(runtime);
  blobWriter.pushElem("E");
  blobWriter.ioBlob(big);
  EXPECT_TRUE(blobWriter.failed());
  rawWriter.pushElem("E");
  rawWriter.ioRaw(big.data(), big.size());
  EXPECT_TRUE(rawWriter.failed());
  // The stored length alone refuses: the text is not Base64 at all.
  test::TraceCapture capture(trace::kError);
  Bytes data{7};
  EXPECT_TRUE(readBlob("blobLen=\"49149\" blobData=\"!!!!\"", data));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioBlob: blob too large (49149 bytes)"), 1u);
  EXPECT_EQ(data, Bytes{7});
  EXPECT_TRUE(readRaw("rawData=\"AAAA\"", big.data(), big.size()));
}

TEST_F(XmlArchiveTest, TextThatDoesNotFitItsLengthFails) {
  Bytes data{7, 7};
  EXPECT_TRUE(readBlob("blobLen=\"5\" blobData=\"AQIDBA==\"", data));  // 4 bytes
  EXPECT_TRUE(data.empty());
  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQ*D\"", data));
  EXPECT_TRUE(data.empty());
  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\"", data));
  EXPECT_EQ(data, Bytes{7});
  // Text longer than the buffer is cut to the room of the length, then decoded.
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQIDBAUG\"", data));  // the second group starts with the output full
  EXPECT_FALSE(readBlob("blobLen=\"4\" blobData=\"AQIDBAUG\"", data));
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));

  std::uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_FALSE(readRaw("rawData=\"AQ==!!!!\"", buffer, 1));  // the second group is never seen
  EXPECT_FALSE(readRaw("rawData=\"AQI=\"", buffer, 4));      // fills the start of the buffer
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 9, 9}));
  EXPECT_TRUE(readRaw("rawData=\"AQ I\"", buffer, 4));
  EXPECT_TRUE(readRaw("other=\"AQID\"", buffer, 4));
}

}  // namespace
}  // namespace quillon

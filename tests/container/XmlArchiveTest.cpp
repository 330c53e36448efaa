// The XML archives' values, structure and limits: what the writer lays out, how
// the reader parses odd numbers, and the depth, attribute and name limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "XmlTestSupport.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

class XmlArchiveTest : public test::XmlArchiveFixture {
 protected:
  // Reads attribute `a` with text `value` into a T that starts at `initial`.
  template <class T>
  T readAs(const std::string& value, T initial = T(99)) {
    T result = initial;
    EXPECT_FALSE(readElement("a=\"" + value + "\"", [&](XmlReadArchive& r) { r.io("a", result); })) << value;
    return result;
  }
};

// One value of every kind, written and read by the same code, as serialize() does.
struct AllKinds {
  std::int32_t i32 = 0;
  std::int16_t i16 = 0;
  std::int8_t i8 = 0;
  bool flag = false;
  std::uint64_t u64 = 0;
  std::uint32_t u32 = 0;
  std::uint16_t u16 = 0;
  std::uint8_t u8 = 0;

  void serialize(IArchive& archive) {
    archive.pushElem("Values");
    archive.io("i32", i32);
    archive.io("i16", i16);
    archive.io("i8", i8);
    archive.io("flag", flag);
    archive.io("u64", u64);
    archive.io("u32", u32);
    archive.io("u16", u16);
    archive.io("u8", u8);
    archive.popElem();
  }
  bool operator==(const AllKinds&) const = default;
};

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
    const std::string text = write([&](XmlWriteArchive& archive) { values.serialize(archive); });
    AllKinds back{7, 7, 7, !values.flag, 7, 7, 7, 7};
    auto reader = open(text);
    back.serialize(reader);
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

TEST_F(XmlArchiveTest, ThirtyTwoLevelsAreReadAndTheThirtyThirdFails) {
  const std::string text = write([](XmlWriteArchive& archive) {
    for (int i = 0; i < 33; ++i) archive.pushElem("E");
  });
  auto reader = open(text);
  for (int i = 0; i < 32; ++i) reader.pushElem("E");
  EXPECT_FALSE(reader.failed());
  reader.pushElem("E");
  EXPECT_TRUE(reader.failed());
}

TEST_F(XmlArchiveTest, AttributeCountAndNameLimits) {
  std::string attributes;
  for (int i = 0; i < 129; ++i) attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  std::uint32_t last = 0;
  const std::size_t cut = attributes.rfind(" a128");
  EXPECT_FALSE(readElement(attributes.substr(0, cut), [&](XmlReadArchive& r) { r.io("a127", last); }));
  EXPECT_EQ(last, 127u);
  EXPECT_TRUE(readElement(attributes, [](XmlReadArchive&) {}));  // 129 fail when entered

  // The writer cuts names at 127 characters; the cut name reads back.
  const std::string longName(130, 'n'), cutName(127, 'n');
  const std::string text = write([&](XmlWriteArchive& archive) {
    std::uint8_t v = 42;
    archive.pushElem("E");
    archive.io(longName.c_str(), v);
  });
  EXPECT_NE(text.find(" " + cutName + "=\"42\""), std::string::npos);
  std::uint8_t v = 0;
  auto reader = open(text);
  reader.pushElem("E");
  reader.io(cutName.c_str(), v);
  EXPECT_EQ(v, 42);
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

}  // namespace
}  // namespace quillon

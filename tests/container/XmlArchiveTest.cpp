#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
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
  T readAs(const std::string& value, bool* failed = nullptr, T initial = T(99)) {
    const std::string text = document("<E a=\"" + value + "\"/>");
    auto reader = open(text);
    reader.pushElem("E");
    T result = initial;
    reader.io("a", result);
    if (failed) *failed = reader.failed();
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
    std::uint8_t x = 1;
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
            "  <A x=\"1\">\n"
            "    <B/>\n"
            "    <C blobLen=\"3\" blobData=\"AQID\"/>\n"
            "  </A>\n"
            "</GIDS>\n");
}

TEST_F(XmlArchiveTest, EveryKindRoundTripsAtItsLimits) {
  const AllKinds low{
      std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int16_t>::min(), -128, false, 0, 0, 0, 0};
  const AllKinds high{std::numeric_limits<std::int32_t>::max(),
                      std::numeric_limits<std::int16_t>::max(),
                      127,
                      true,
                      std::numeric_limits<std::uint64_t>::max(),
                      std::numeric_limits<std::uint32_t>::max(),
                      std::numeric_limits<std::uint16_t>::max(),
                      255};
  for (AllKinds values : {low, high, AllKinds{-1, -1, -1, true, 1, 1, 1, 1}}) {
    const std::string text = write([&](XmlWriteArchive& archive) { values.serialize(archive); });
    AllKinds back{7, 7, 7, false, 7, 7, 7, 7};
    auto reader = open(text);
    back.serialize(reader);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(back, values) << text;
  }
}

TEST_F(XmlArchiveTest, TextOfEachKind) {
  AllKinds zero;
  const std::string zeroText = write([&](XmlWriteArchive& archive) { zero.serialize(archive); });
  EXPECT_NE(zeroText.find("i32=\"0\" i16=\"0\" i8=\"0\" flag=\"0\" u64=\"0\" u32=\"0\" u16=\"0\" u8=\"0\""),
            std::string::npos);
  AllKinds some{-2147483647 - 1, -300, -128, true, 18446744073709551615u, 4000000000u, 65535, 200};
  const std::string someText = write([&](XmlWriteArchive& archive) { some.serialize(archive); });
  EXPECT_NE(someText.find("i32=\"-2147483648\" i16=\"-300\" i8=\"-128\" flag=\"1\" u64=\"18446744073709551615\" "
                          "u32=\"4000000000\" u16=\"65535\" u8=\"200\""),
            std::string::npos);
}

TEST_F(XmlArchiveTest, NumbersParseUpToTheFirstNonDigitWithoutFailing) {
  bool failed = true;
  EXPECT_EQ(readAs<std::uint32_t>("abc", &failed), 0u);
  EXPECT_FALSE(failed);
  EXPECT_EQ(readAs<std::uint32_t>("12x", &failed), 12u);
  EXPECT_FALSE(failed);
  EXPECT_EQ(readAs<std::uint32_t>("", &failed), 0u);
  EXPECT_FALSE(failed);
  // Unsigned fields take no sign and no leading blank.
  EXPECT_EQ(readAs<std::uint32_t>("-5"), 0u);
  EXPECT_EQ(readAs<std::uint16_t>(" 5"), 0u);
  EXPECT_EQ(readAs<std::uint8_t>("+5"), 0u);
  // Signed fields take one leading minus.
  EXPECT_EQ(readAs<std::int32_t>("-12x"), -12);
  EXPECT_EQ(readAs<std::int32_t>("--1"), 0);
  EXPECT_EQ(readAs<std::int8_t>("-"), 0);
}

TEST_F(XmlArchiveTest, NumbersWrapInTheirWidth) {
  EXPECT_EQ(readAs<std::uint8_t>("256"), 0);
  EXPECT_EQ(readAs<std::uint8_t>("300"), 44);
  EXPECT_EQ(readAs<std::uint16_t>("65537"), 1);
  EXPECT_EQ(readAs<std::uint32_t>("4294967297"), 1u);
  EXPECT_EQ(readAs<std::uint64_t>("18446744073709551617"), 1u);
  EXPECT_EQ(readAs<std::int8_t>("-129"), 127);
  EXPECT_EQ(readAs<std::int8_t>("128"), -128);
  EXPECT_EQ(readAs<std::int16_t>("32768"), -32768);
  EXPECT_EQ(readAs<std::int32_t>("2147483648"), std::numeric_limits<std::int32_t>::min());
}

TEST_F(XmlArchiveTest, OnlyTheFirstCharactersOfAValueAreParsed) {
  // 15 characters for 8- and 16-bit signed values, 31 for the other numbers.
  EXPECT_EQ(readAs<std::int16_t>("000000000000012"), 12);
  EXPECT_EQ(readAs<std::int16_t>("0000000000000123"), 12);
  EXPECT_EQ(readAs<std::int8_t>("-00000000000012"), -12);
  EXPECT_EQ(readAs<std::int8_t>("-000000000000012"), -1);
  const std::string zeros30(30, '0');
  EXPECT_EQ(readAs<std::uint32_t>(zeros30 + "7"), 7u);
  EXPECT_EQ(readAs<std::uint32_t>(zeros30 + "78"), 7u);
  EXPECT_EQ(readAs<std::uint64_t>(zeros30 + "78"), 7u);
  EXPECT_EQ(readAs<std::int32_t>("-" + zeros30 + "7"), 0);
}

TEST_F(XmlArchiveTest, BoolIsTrueOnlyForALeadingOne) {
  EXPECT_TRUE(readAs<bool>("1", nullptr, false));
  EXPECT_TRUE(readAs<bool>("1abc", nullptr, false));
  EXPECT_FALSE(readAs<bool>("true", nullptr, true));
  EXPECT_FALSE(readAs<bool>("01", nullptr, true));
  EXPECT_FALSE(readAs<bool>("", nullptr, true));
}

TEST_F(XmlArchiveTest, ReadingIsPositionalAndIgnoresAttributeOrder) {
  const std::string text = document(
      "<Other  u8=\"5\" i32=\"-7\" flag=\"1\" ><!-- note --><?pi x?>\n"
      "<Something u16=\"9\"/></Other><Last/>");
  auto reader = open(text);
  std::uint8_t u8 = 0;
  std::int32_t i32 = 0;
  bool flag = false;
  std::uint16_t u16 = 0;
  reader.pushElem("First");
  reader.io("flag", flag);
  reader.io("i32", i32);
  reader.io("u8", u8);
  reader.pushElem("Second");
  reader.io("u16", u16);
  reader.popElem();
  reader.popElem();
  EXPECT_EQ(reader.depth(), 0u);
  reader.pushElem("Third");
  reader.popElem();
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(u8, 5);
  EXPECT_EQ(i32, -7);
  EXPECT_TRUE(flag);
  EXPECT_EQ(u16, 9);
}

TEST_F(XmlArchiveTest, PopSkipsChildrenThatWereNotRead) {
  const std::string text = document(
      "<A><B><C x=\"1\"><D/></C></B><E></E><F/></A>"
      "<G y=\"2\"><H/></G>");
  auto reader = open(text);
  std::uint8_t y = 0;
  reader.pushElem("A");
  reader.popElem();
  reader.pushElem("G");
  reader.io("y", y);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(y, 2);
  // Leaving G without reading H, then leaving the root: the input ends.
  test::TraceCapture capture(trace::kError);
  reader.popElem();
  EXPECT_FALSE(reader.failed());
  reader.pushElem("Past");
  EXPECT_FALSE(reader.failed());  // the end of the input is quiet here ...
  reader.io("y", y);              // ... and the look-up fails
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::findAttr: 'y' not found"), 1u);
}

TEST_F(XmlArchiveTest, PopAtTheEndOfTheInputFails) {
  const std::string text = document("<A>");
  auto reader = open(text.substr(0, text.size() - 7));  // no end tags at all
  test::TraceCapture capture(trace::kError);
  reader.pushElem("A");
  reader.popElem();
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::skipEnd: Read hr="), 1u);
}

TEST_F(XmlArchiveTest, ThirtyTwoLevelsAreReadAndTheThirtyThirdFails) {
  const std::string text = write([](XmlWriteArchive& archive) {
    for (int i = 0; i < 33; ++i) archive.pushElem("E");
    std::uint8_t v = 33;
    archive.io("v", v);
  });
  auto reader = open(text);
  for (int i = 0; i < 32; ++i) reader.pushElem("E");
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(reader.depth(), 32u);
  test::TraceCapture capture(trace::kError);
  reader.pushElem("E");
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::pushElem(E): max depth 32 exceeded"), 1u);
}

std::string attributes(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  return text;
}

TEST_F(XmlArchiveTest, AnElementWith129AttributesFailsWhenEntered) {
  const std::string full = document("<E" + attributes(128) + "/>");
  auto reader = open(full);
  reader.pushElem("E");
  std::uint32_t last = 0;
  reader.io("a127", last);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(last, 127u);

  const std::string over = document("<E" + attributes(129) + "/>");
  auto overReader = open(over);
  test::TraceCapture capture(trace::kError);
  overReader.pushElem("E");
  EXPECT_TRUE(overReader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::cacheAttrs: too many attributes"), 1u);
}

TEST_F(XmlArchiveTest, AttributeNamesAreCutAt127Characters) {
  const std::string longName(130, 'n');
  const std::string cutName(127, 'n');
  const std::string text = write([&](XmlWriteArchive& archive) {
    std::uint8_t v = 42;
    archive.pushElem("E");
    archive.io(longName.c_str(), v);
    archive.popElem();
  });
  EXPECT_NE(text.find(" " + cutName + "=\"42\""), std::string::npos);
  auto reader = open(text);
  std::uint8_t v = 0;
  reader.pushElem("E");
  reader.io(cutName.c_str(), v);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(v, 42);
}

TEST_F(XmlArchiveTest, AFailedReaderReadsNothingMore) {
  const std::string text = document("<A x=\"5\"/><B y=\"6\"/>");
  auto reader = open(text);
  std::uint8_t x = 9, y = 9;
  std::uint32_t missing = 9;
  reader.pushElem("A");
  reader.io("missing", missing);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(missing, 9u);
  reader.io("x", x);
  reader.popElem();
  reader.pushElem("B");
  reader.io("y", y);
  Bytes blob{1, 2};
  reader.ioBlob(blob);
  std::uint8_t raw[2] = {7, 7};
  reader.ioRaw(raw, 2);
  EXPECT_EQ(x, 9);
  EXPECT_EQ(y, 9);
  EXPECT_EQ(blob, (Bytes{1, 2}));
  EXPECT_EQ(raw[0], 7);
  EXPECT_EQ(reader.depth(), 1u);
  EXPECT_TRUE(reader.failed());
}

TEST_F(XmlArchiveTest, AFailedWriterWritesNothingMoreAndDetachesNothing) {
  XmlWriteArchive archive(runtime);
  test::TraceCapture capture(trace::kError);
  std::uint8_t v = 1;
  archive.pushElem("A");
  archive.pushElem("B");
  archive.popElem();
  archive.io("late", v);  // the start tag of A is already closed
  EXPECT_TRUE(archive.failed());
  EXPECT_EQ(capture.sink().count("XmlWriteArchive::writeAttr(late) hr=0x80004005"), 1u);
  archive.pushElem("C");
  archive.popElem();
  EXPECT_EQ(capture.sink().lines().size(), 1u);
  EXPECT_FALSE(archive.detachStream());
  EXPECT_EQ(capture.sink().count("XmlWriteArchive::detachStream: archive in failed state"), 1u);
}

TEST_F(XmlArchiveTest, WriterRefusesNamesThatWouldMakeTheDocumentUnreadable) {
  for (const char* name : {"", "a b", "1a", "a<b", "x:y"}) {
    XmlWriteArchive archive(runtime);
    test::TraceCapture capture(trace::kError);
    archive.pushElem(name);
    EXPECT_TRUE(archive.failed()) << name;
    EXPECT_EQ(capture.sink().count(std::string("XmlWriteArchive::pushElem(") + name + ") hr=0x80070057"), 1u);

    XmlWriteArchive attrs(runtime);
    std::uint8_t v = 0;
    attrs.io(name, v);
    EXPECT_TRUE(attrs.failed()) << name;
  }
}

TEST_F(XmlArchiveTest, ADocumentIsDetachedOnce) {
  XmlWriteArchive archive(runtime);
  EXPECT_TRUE(archive.isStoring());
  EXPECT_EQ(&archive.getRuntime(), &runtime);
  archive.pushElem("Open");  // left open: ending the document closes it
  const auto document = archive.detachStream();
  ASSERT_TRUE(document);
  const std::string text(document->begin(), document->end());
  EXPECT_NE(text.find("<Open/>\n</GIDS>"), std::string::npos) << text;
  EXPECT_FALSE(archive.detachStream());
}

}  // namespace
}  // namespace quillon

// The XML archives: what the writer lays out, every kind of value at its limits,
// how the reader takes odd attribute text (container/xml-values.vec), skips what
// is not read, its depth, attribute and name limits, blobs up to 49,148 bytes,
// and documents nobody should have written: DTDs, entities, garbage, truncation.
#include <gtest/gtest.h>
#include <libxml/parserInternals.h>
#include <openssl/rand.h>

#include <chrono>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <tuple>

#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

// A value written in double quotes is taken without them (blanks at its ends kept).
std::string unquoted(const std::string& value) {
  return value.size() >= 2 && value.front() == '"' && value.back() == '"' ? value.substr(1, value.size() - 2) : value;
}

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
  // Reads `<E attributes/>` in a document through `read`; whether the archive failed.
  bool readElement(const std::string& attributes, const std::function<void(XmlReadArchive&)>& read) {
    const std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<GIDS><E " + attributes + "/></GIDS>";
    auto reader = open(text);
    reader.pushElem("E");
    read(reader);
    return reader.failed();
  }
  // What attribute `a` with `text` reads into a T that held 99.
  template <class T>
  long long readAs(const std::string& text) {
    T value = T(99);
    EXPECT_FALSE(readElement("a=\"" + text + "\"", [&](XmlReadArchive& r) { r.io("a", value); })) << text;
    return static_cast<long long>(value);
  }

  JCRuntimeImpl runtime;
};

using AllKinds = std::tuple<std::int32_t, std::int16_t, std::int8_t, bool, std::uint64_t, std::uint32_t, std::uint16_t,
                            std::uint8_t>;

// One value of every kind, written and read by the same code, as serialize() does.
void serializeAll(IArchive& archive, AllKinds& values) {
  static const char* const kNames[] = {"i32", "i16", "i8", "flag", "u64", "u32", "u16", "u8"};
  std::size_t i = 0;
  archive.pushElem("Values");
  std::apply([&](auto&... value) { (archive.io(kNames[i++], value), ...); }, values);
  archive.popElem();
}

TEST_F(XmlArchiveTest, WritesAnIndentedDocumentAndEveryKindRoundTripsAtItsLimits) {
  EXPECT_EQ(write([](XmlWriteArchive& archive) {
              std::int16_t x = -300;
              std::vector<std::uint8_t> blob{1, 2, 3};
              archive.pushElem("A");
              archive.io("x", x);
              archive.pushElem("B");
              archive.popElem();
              archive.pushElem("C");
              archive.ioBlob(blob);
            }),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS>\n  <A x=\"-300\">\n    <B/>\n"
            "    <C blobLen=\"3\" blobData=\"AQID\"/>\n  </A>\n</GIDS>\n");
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

TEST_F(XmlArchiveTest, AttributeTextReadsAsTheOriginalReaderTakesIt) {
  std::size_t numbers = 0, blobs = 0, refused = 0;
  for (const VecRecord& c : readVecFile("container/xml-values.vec")) {
    if (c.count("Type") != 0) {
      const std::string& type = c.at("Type");
      const std::string text = unquoted(c.at("Text"));
      const long long value = type == "u8"     ? readAs<std::uint8_t>(text)
                              : type == "u16"  ? readAs<std::uint16_t>(text)
                              : type == "u32"  ? readAs<std::uint32_t>(text)
                              : type == "u64"  ? readAs<std::uint64_t>(text)
                              : type == "i8"   ? readAs<std::int8_t>(text)
                              : type == "i16"  ? readAs<std::int16_t>(text)
                              : type == "i32"  ? readAs<std::int32_t>(text)
                              : type == "bool" ? readAs<bool>(text)
                                               : 12345;
      EXPECT_EQ(value, std::stoll(c.at("Value"))) << type << " " << text;
      ++numbers;
    } else if (c.count("Kind") != 0) {
      SCOPED_TRACE(c.at("Attributes"));
      Bytes field = c.at("Kind") == "blob" ? Bytes{7, 7} : Bytes(std::stoul(c.at("Room")), 9);
      const bool failed = readElement(c.at("Attributes"), [&](XmlReadArchive& r) {
        if (c.at("Kind") == "blob")
          r.ioBlob(field);
        else
          r.ioRaw(field.data(), field.size());
      });
      EXPECT_EQ(failed, c.at("Fails") == "1");
      const Bytes expected = fromHex(c.at("Bytes"));
      if (c.at("Kind") == "raw") field.resize(std::min(field.size(), expected.size()));
      EXPECT_EQ(toHex(field), c.at("Bytes"));
      ++blobs;
    } else {
      const Bytes hex = c.count("Hex") != 0 ? fromHex(c.at("Hex")) : Bytes{};
      const std::string text = c.count("Hex") != 0 ? std::string(hex.begin(), hex.end()) : c.at("Refused");
      auto reader = open(text);
      reader.pushElem("State");
      std::uint16_t id = 0;
      reader.io("id", id);
      EXPECT_TRUE(reader.failed()) << c.at("Refused");
      ++refused;
    }
  }
  EXPECT_EQ(std::tuple(numbers, blobs, refused), std::tuple(17u, 11u, 8u));
}

TEST_F(XmlArchiveTest, ReadingIsPositionalSkipsWhatIsNotReadAndAFailureIsFinal) {
  const std::string text =
      "<GIDS><Other  u8=\"5\" i32=\"-7\" ><!-- note --><?pi x?>\n"
      "<Something u16=\"9\"><Deeper/></Something><Skipped/></Other><Last y=\"2\"><H/></Last></GIDS>";
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
  TraceCapture capture(trace::kError);
  reader.popElem();
  reader.pushElem("Past");
  EXPECT_FALSE(reader.failed());
  reader.io("y", y);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive::findAttr: 'y' not found"), 1u);
  // Failed, it reads nothing more.
  reader.io("y", y);
  Bytes blob{1, 2};
  reader.ioBlob(blob);
  EXPECT_EQ(y, 2);
  EXPECT_EQ(blob, (Bytes{1, 2}));
  // A writer that fails writes nothing more, and says so once.
  capture.sink().clear();
  XmlWriteArchive archive(runtime);
  archive.pushElem("A");
  archive.pushElem("B");
  archive.popElem();
  archive.io("late", y);  // the start tag of A is already closed
  EXPECT_TRUE(archive.failed());
  archive.pushElem("C");
  EXPECT_EQ(capture.sink().lines().size(), 1u);
  EXPECT_FALSE(archive.detachStream());
  for (const char* name : {"", "a b", "1a", "a<b", "x:y"}) {
    XmlWriteArchive elements(runtime), attributes(runtime);
    elements.pushElem(name);
    attributes.io(name, y);
    EXPECT_TRUE(elements.failed() && attributes.failed()) << name;
  }
}

TEST_F(XmlArchiveTest, DepthAttributeCountNameAndBlobLimits) {
  // Thirty-two levels are read and the thirty-third fails.
  const std::string keep = write([](XmlWriteArchive& archive) {
    for (int i = 0; i < 33; ++i) archive.pushElem("E");
  });
  auto deep = open(keep);
  for (int i = 0; i < 32; ++i) deep.pushElem("E");
  EXPECT_FALSE(deep.failed());
  deep.pushElem("E");
  EXPECT_TRUE(deep.failed());
  // 128 attributes are read, 129 fail when entered.
  std::string attributes;
  for (int i = 0; i < 129; ++i) attributes += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  std::uint32_t last = 0;
  EXPECT_FALSE(
      readElement(attributes.substr(0, attributes.rfind(" a128")), [&](XmlReadArchive& r) { r.io("a127", last); }));
  EXPECT_EQ(last, 127u);
  EXPECT_TRUE(readElement(attributes, [](XmlReadArchive&) {}));
  // The writer cuts names at 127 characters; the cut name reads back.
  const std::string named = write([](XmlWriteArchive& archive) {
    std::uint8_t v = 42;
    archive.pushElem("E");
    archive.io(std::string(130, 'n').c_str(), v);
  });
  EXPECT_NE(named.find(" " + std::string(127, 'n') + "=\"42\""), std::string::npos);
  // Blobs and raw buffers round trip up to 49148 bytes; one more is not written.
  for (const std::size_t length : {0u, 1u, 2u, 49148u, 49149u}) {
    Bytes blob(length), raw(length);
    ASSERT_EQ(RAND_bytes(blob.data(), static_cast<int>(length)) + RAND_bytes(raw.data(), static_cast<int>(length)), 2);
    XmlWriteArchive blobWriter(runtime), rawWriter(runtime);
    blobWriter.pushElem("E");
    blobWriter.ioBlob(blob);
    rawWriter.pushElem("E");
    rawWriter.ioRaw(raw.data(), raw.size());
    EXPECT_EQ(blobWriter.failed() || rawWriter.failed(), length > 49148) << length;
    if (length > 49148) continue;
    const auto blobText = blobWriter.detachStream(), rawText = rawWriter.detachStream();
    ASSERT_TRUE(blobText && rawText);
    const std::string blobDocument(blobText->begin(), blobText->end()), rawDocument(rawText->begin(), rawText->end());
    if (length == 0) {
      EXPECT_NE(blobDocument.find("<E blobLen=\"0\"/>"), std::string::npos) << blobDocument;
    }
    Bytes blobBack{9}, rawBack(length, 0);
    auto blobReader = open(blobDocument), rawReader = open(rawDocument);
    blobReader.pushElem("E");
    blobReader.ioBlob(blobBack);
    rawReader.pushElem("E");
    rawReader.ioRaw(rawBack.data(), rawBack.size());
    EXPECT_FALSE(blobReader.failed() || rawReader.failed()) << length;
    EXPECT_EQ(blobBack, blob) << length;
    EXPECT_EQ(rawBack, raw) << length;
  }
}

// A small state with every kind of content, written and read by the same code.
struct State {
  std::uint16_t id = 0;
  Bytes blob;
  std::uint8_t pin[8] = {};
  std::int32_t counter = 0;

  void serialize(IArchive& archive) {
    archive.pushElem("State");
    archive.io("id", id);
    archive.ioBlob(blob);
    archive.pushElem("Pin");
    archive.ioRaw(pin, sizeof pin);
    archive.pushElem("Inner");
    archive.io("counter", counter);
    archive.popElem();
    archive.popElem();
    archive.popElem();
  }
  bool operator==(const State&) const = default;
};

class XmlHostileTest : public XmlArchiveTest {
 protected:
  void SetUp() override {
    written = {0x3F00, {0x62, 0x03, 0x82, 0x01, 0x38, 0xFF, 0x00}, {'1', '2', '3', '4', '5', '6', '7', '8'}, -42};
    XmlWriteArchive archive(runtime);
    written.serialize(archive);
    const auto document = archive.detachStream();
    ASSERT_TRUE(document);
    writtenText.assign(document->begin(), document->end());
  }
  // Reads a State from `document`: whether the archive failed, and what it read.
  bool readState(const std::string& document, State& state) {
    auto reader = open(document);
    state.serialize(reader);
    return reader.failed();
  }

  State written;
  std::string writtenText;
};

int g_externalLoads = 0;

TEST_F(XmlHostileTest, DocumentsWithADtdAreRefusedWithoutLoadingOrExpandingAnything) {
  // Ten levels of entities, each ten of the one below: 10^10 "lol"s if expanded.
  std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE GIDS [\n <!ENTITY l0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    laughs += " <!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
    laughs += "\">\n";
  }
  laughs += "]>\n<GIDS><State id=\"&l9;\">&l9;</State></GIDS>";
  const std::string external = R"(<?xml version="1.0"?>
<!DOCTYPE GIDS SYSTEM "http://127.0.0.1:9/state.dtd" [
 <!ENTITY file SYSTEM "file:///etc/hostname">
 <!ENTITY % remote SYSTEM "http://127.0.0.1:9/remote.dtd">
 %remote;
]>
<GIDS><State id="1">&file;</State></GIDS>)";
  // UTF-16LE with a byte order mark hides "<!DOCTYPE" from a byte scan; the
  // reader takes every document as UTF-8, so that one does not parse at all.
  std::string utf16 = "\xFF\xFE";
  for (const char c : external) utf16 += std::string{c, '\0'};
  const xmlExternalEntityLoader previous = xmlGetExternalEntityLoader();
  xmlSetExternalEntityLoader([](const char*, const char*, xmlParserCtxtPtr) -> xmlParserInputPtr {
    ++g_externalLoads;
    return nullptr;
  });
  for (const std::string& text : {laughs, external, utf16}) {
    const auto start = std::chrono::steady_clock::now();
    State state;
    state.id = 77;
    EXPECT_TRUE(readState(text, state));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(state.id, 77);
  }
  xmlSetExternalEntityLoader(previous);
  EXPECT_EQ(g_externalLoads, 0);
  // An entity reference fails; character references read.
  const std::size_t at = writtenText.find("id=\"16128\"");
  ASSERT_NE(at, std::string::npos);
  State state;
  EXPECT_TRUE(readState(std::string(writtenText).replace(at, 10, "id=\"&x;\""), state));
  EXPECT_FALSE(readState(std::string(writtenText).replace(at, 10, "id=\"&#49;6&#x31;28\""), state));
  EXPECT_EQ(state, written);
}

TEST_F(XmlHostileTest, EveryTruncationAndRandomGarbageFailsOrReadsTheSameState) {
  std::size_t failures = 0;
  for (std::size_t length = 0; length <= writtenText.size(); ++length) {
    State state;
    if (readState(writtenText.substr(0, length), state)) {
      ++failures;
    } else {
      EXPECT_EQ(state, written) << "truncated to " << length;
    }
  }
  // Reading ends on the last self-closed element, so only cuts in the end tags
  // after it go unnoticed; every other cut fails.
  const std::string last = "<Inner counter=\"-42\"/>";
  EXPECT_EQ(failures, writtenText.find(last) + last.size());
  std::mt19937 random(20240607);
  for (int i = 0; i < 50; ++i) {
    std::string bytes(1 + random() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    State state;
    EXPECT_TRUE(readState("<GIDS>" + bytes, state)) << i;
  }
  EXPECT_TRUE(XmlReadArchive(std::span<const std::uint8_t>{}, runtime).failed());
}

}  // namespace
}  // namespace quillon::test

// The XML archives: what the writer lays out, every kind of value at its limits,
// how the reader takes odd attribute text and refuses documents with a DTD
// (container/xml-values.vec), its depth, attribute and blob limits.
#include <gtest/gtest.h>
#include <libxml/parserInternals.h>

#include <functional>
#include <limits>
#include <span>
#include <string>
#include <tuple>

#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "runtime/JCRuntimeImpl.h"
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

TEST_F(XmlArchiveTest, WritesAnIndentedDocumentWithValuesAtTheirLimits) {
  const std::string text = write([](XmlWriteArchive& archive) {
    std::int32_t low = std::numeric_limits<std::int32_t>::min();
    std::uint64_t high = ~std::uint64_t{0};
    std::vector<std::uint8_t> blob{1, 2, 3};
    archive.pushElem("A");
    archive.io("low", low);
    archive.pushElem("B");
    archive.popElem();
    archive.pushElem("C");
    archive.io("high", high);
    archive.ioBlob(blob);
  });
  EXPECT_EQ(text,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS>\n  <A low=\"-2147483648\">\n    <B/>\n"
            "    <C high=\"18446744073709551615\" blobLen=\"3\" blobData=\"AQID\"/>\n  </A>\n</GIDS>\n");
}

int g_externalLoads = 0;

TEST_F(XmlArchiveTest, AttributeTextReadsAsTheOriginalReaderTakesIt) {
  const auto cases = readVecFile("container/xml-values.vec");
  ASSERT_EQ(cases.size(), 40u);
  const xmlExternalEntityLoader previous = xmlGetExternalEntityLoader();
  xmlSetExternalEntityLoader([](const char*, const char*, xmlParserCtxtPtr) -> xmlParserInputPtr {
    ++g_externalLoads;
    return nullptr;
  });
  for (const VecRecord& c : cases) {
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
    } else if (c.count("Kind") != 0) {
      SCOPED_TRACE(c.at("Attributes"));
      Bytes field = c.at("Kind") == "blob" ? Bytes{7, 7} : Bytes(std::stoul(c.at("Room")), 9);
      const bool failed = readElement(c.at("Attributes"), [&](XmlReadArchive& r) {
        c.at("Kind") == "blob" ? r.ioBlob(field) : r.ioRaw(field.data(), field.size());
      });
      EXPECT_EQ(failed, c.at("Fails") == "1");
      if (c.at("Kind") == "raw") field.resize(std::min(field.size(), c.at("Bytes").size() / 2));
      EXPECT_EQ(toHex(field), c.at("Bytes"));
    } else {
      const Bytes hex = c.count("Hex") != 0 ? fromHex(c.at("Hex")) : Bytes{};
      const std::string text = c.count("Hex") != 0 ? std::string(hex.begin(), hex.end()) : c.at("Refused");
      auto reader = open(text);
      reader.pushElem("State");
      std::uint16_t id = 77;  // an expanded entity would take minutes and fill memory
      reader.io("id", id);
      EXPECT_TRUE(reader.failed()) << c.at("Refused");
      EXPECT_EQ(id, 77);
    }
  }
  xmlSetExternalEntityLoader(previous);
  EXPECT_EQ(g_externalLoads, 0);
}

TEST_F(XmlArchiveTest, DepthAttributeCountAndBlobLimits) {
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
  // Blobs round trip up to 49148 bytes; one more is not written.
  Bytes blob(49148, 0xA5), back;
  const std::string document = write([&](XmlWriteArchive& archive) {
    archive.pushElem("E");
    archive.ioBlob(blob);
  });
  auto reader = open(document);
  reader.pushElem("E");
  reader.ioBlob(back);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(back, blob);
  blob.push_back(0xA5);
  XmlWriteArchive writer(runtime);
  writer.pushElem("E");
  writer.ioBlob(blob);
  EXPECT_TRUE(writer.failed());
}

}  // namespace
}  // namespace quillon::test

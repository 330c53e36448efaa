// The reader against documents nobody should have written: DTDs, entities,
// external references, garbage and truncation. Each must fail the archive (or
// read exactly what was written), quickly, and without touching the network or
// the file system.
#include <gtest/gtest.h>
#include <libxml/parserInternals.h>

#include <chrono>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

int g_externalLoads = 0;  // by the counting loader of the DTD test

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

// `written` and the document the writer makes of it.
class XmlHostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    written.id = 0x3F00;
    written.blob = {0x62, 0x03, 0x82, 0x01, 0x38, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i) written.pin[i] = static_cast<std::uint8_t>('1' + i);
    written.counter = -42;
    XmlWriteArchive archive(runtime);
    written.serialize(archive);
    const auto document = archive.detachStream();
    ASSERT_TRUE(document);
    writtenText.assign(document->begin(), document->end());
  }
  // Reads a State from `document`: whether the archive failed, and what it read.
  bool readState(const std::string& document, State& state) {
    XmlReadArchive reader(std::span(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()), runtime);
    state.serialize(reader);
    return reader.failed();
  }

  JCRuntimeImpl runtime;
  State written;
  std::string writtenText;
};

// Ten levels of entities, each ten of the one below: 10^10 "lol"s if expanded.
std::string billionLaughs() {
  std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE GIDS [\n <!ENTITY l0 \"lol\">\n";
  for (int i = 1; i < 10; ++i) {
    text += " <!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) text += "&l" + std::to_string(i - 1) + ";";
    text += "\">\n";
  }
  return text + "]>\n<GIDS><State id=\"&l9;\">&l9;</State></GIDS>";
}

const char* const kExternal = R"(<?xml version="1.0"?>
<!DOCTYPE GIDS SYSTEM "http://127.0.0.1:9/state.dtd" [
 <!ENTITY file SYSTEM "file:///etc/hostname">
 <!ENTITY % remote SYSTEM "http://127.0.0.1:9/remote.dtd">
 %remote;
]>
<GIDS><State id="1">&file;</State></GIDS>)";

TEST_F(XmlHostileTest, DocumentsWithADtdAreRefusedWithoutLoadingOrExpandingAnything) {
  // UTF-16LE with a byte order mark hides "<!DOCTYPE" from a byte scan; the
  // reader takes every document as UTF-8, so that one does not parse at all.
  std::string utf16 = "\xFF\xFE";
  for (const char* c = kExternal; *c != '\0'; ++c) utf16 += std::string{*c, '\0'};
  const xmlExternalEntityLoader previous = xmlGetExternalEntityLoader();
  xmlSetExternalEntityLoader([](const char*, const char*, xmlParserCtxtPtr) -> xmlParserInputPtr {
    ++g_externalLoads;
    return nullptr;
  });
  for (const std::string& text : {billionLaughs(), std::string(kExternal), utf16}) {
    const auto start = std::chrono::steady_clock::now();
    State state;
    state.id = 77;
    EXPECT_TRUE(readState(text, state));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(state.id, 77);
  }
  xmlSetExternalEntityLoader(previous);
  EXPECT_EQ(g_externalLoads, 0);
}

TEST_F(XmlHostileTest, EntityReferencesFailButCharacterReferencesRead) {
  const std::string id = "id=\"16128\"";
  const std::size_t at = writtenText.find(id);
  ASSERT_NE(at, std::string::npos);
  State state;
  EXPECT_TRUE(readState(std::string(writtenText).replace(at, id.size(), "id=\"&x;\""), state));
  EXPECT_FALSE(readState(std::string(writtenText).replace(at, id.size(), "id=\"&#49;6&#x31;28\""), state));
  EXPECT_EQ(state, written);
}

TEST_F(XmlHostileTest, EveryTruncationFailsOrReadsTheSameState) {
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
}

TEST_F(XmlHostileTest, GarbageFailsTheArchive) {
  std::mt19937 random(20240607);
  std::vector<std::string> inputs = {"",
                                     "not xml at all",
                                     "<GIDS>",
                                     "<GIDS><State id=\"1\"></Other></GIDS>",
                                     "<GIDS><State id=\"1/></GIDS>",
                                     "<GIDS/><GIDS/>",
                                     std::string("<GIDS>\0<State/></GIDS>", 22),
                                     "\xEF\xBB\xBF<GIDS><State id=\"\xC3\x28\"/></GIDS>"};
  for (int i = 0; i < 50; ++i) {
    std::string bytes(1 + random() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    inputs.push_back("<GIDS>" + bytes);
  }
  for (const auto& input : inputs) {
    State state;
    EXPECT_TRUE(readState(input, state)) << input;
  }
  XmlReadArchive null(std::span<const std::uint8_t>{}, runtime);
  EXPECT_TRUE(null.failed());
}

}  // namespace
}  // namespace quillon

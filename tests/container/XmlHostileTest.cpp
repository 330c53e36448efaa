// The reader against documents nobody should have written: DTDs, entities,
// external references, garbage and truncation. Each must fail the archive (or
// read exactly what was written), quickly, and without touching the network or
// the file system.
#include <gtest/gtest.h>
#include <libxml/parserInternals.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "XmlTestSupport.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

int g_externalLoads = 0;

xmlParserInputPtr recordingLoader(const char*, const char*, xmlParserCtxtPtr) {
  ++g_externalLoads;
  return nullptr;
}

// Counts every external resource libxml2 tries to load while it is installed.
class ExternalLoadWatch {
 public:
  ExternalLoadWatch() : previous_(xmlGetExternalEntityLoader()) {
    g_externalLoads = 0;
    xmlSetExternalEntityLoader(&recordingLoader);
  }
  ~ExternalLoadWatch() { xmlSetExternalEntityLoader(previous_); }
  int loads() const { return g_externalLoads; }

 private:
  xmlExternalEntityLoader previous_;
};

// A small state with every kind of content, written and read by the same code.
struct State {
  std::uint16_t id = 0;
  bool flag = false;
  Bytes blob;
  std::uint8_t pin[8] = {};
  std::int32_t counter = 0;

  void serialize(IArchive& archive) {
    archive.pushElem("State");
    archive.io("id", id);
    archive.io("flag", flag);
    archive.pushElem("Blob");
    archive.ioBlob(blob);
    archive.popElem();
    archive.pushElem("Pin");
    archive.ioRaw(pin, sizeof pin);
    archive.pushElem("Inner");
    archive.io("counter", counter);
    archive.popElem();
    archive.popElem();
    archive.popElem();
  }
  bool operator==(const State& other) const {
    return id == other.id && flag == other.flag && blob == other.blob &&
           std::equal(std::begin(pin), std::end(pin), std::begin(other.pin)) && counter == other.counter;
  }
};

State sample() {
  State state;
  state.id = 0x3F00;
  state.flag = true;
  state.blob = {0x62, 0x03, 0x82, 0x01, 0x38, 0xFF, 0x00};
  for (int i = 0; i < 8; ++i) state.pin[i] = static_cast<std::uint8_t>('1' + i);
  state.counter = -42;
  return state;
}

class XmlHostileTest : public test::XmlArchiveFixture {
 protected:
  // Reads a State from `text`: whether the archive failed, and what it read.
  bool readState(const std::string& text, State& state) {
    auto reader = open(text);
    state.serialize(reader);
    return reader.failed();
  }
};

const char* const kBillionLaughs = R"(<?xml version="1.0"?>
<!DOCTYPE GIDS [
 <!ENTITY l0 "lol">
 <!ENTITY l1 "&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;&l0;">
 <!ENTITY l2 "&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;&l1;">
 <!ENTITY l3 "&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;&l2;">
 <!ENTITY l4 "&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;&l3;">
 <!ENTITY l5 "&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;&l4;">
 <!ENTITY l6 "&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;&l5;">
 <!ENTITY l7 "&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;&l6;">
 <!ENTITY l8 "&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;&l7;">
 <!ENTITY l9 "&l8;&l8;&l8;&l8;&l8;&l8;&l8;&l8;&l8;&l8;">
]>
<GIDS><State id="&l9;" flag="1">&l9;</State></GIDS>)";

const char* const kExternal = R"(<?xml version="1.0"?>
<!DOCTYPE GIDS SYSTEM "http://127.0.0.1:9/state.dtd" [
 <!ENTITY file SYSTEM "file:///etc/hostname">
 <!ENTITY % remote SYSTEM "http://127.0.0.1:9/remote.dtd">
 %remote;
]>
<GIDS><State id="1" flag="1">&file;</State></GIDS>)";

TEST_F(XmlHostileTest, DocumentsWithADtdAreRefusedWithoutLoadingOrExpandingAnything) {
  ExternalLoadWatch watch;
  for (const char* text : {kBillionLaughs, kExternal}) {
    test::TraceCapture capture(trace::kError);
    const auto start = std::chrono::steady_clock::now();
    State state;
    state.id = 77;
    EXPECT_TRUE(readState(text, state));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(state.id, 77);
    EXPECT_EQ(capture.sink().count("XmlReadArchive: document type declaration refused"), 1u);
  }
  EXPECT_EQ(watch.loads(), 0);
}

TEST_F(XmlHostileTest, ADtdInAnotherEncodingIsNotParsedEither) {
  // UTF-16LE with a byte order mark hides "<!DOCTYPE" from a byte scan; the
  // reader takes every document as UTF-8, so this one does not parse at all.
  const std::string utf8 = kExternal;
  std::string utf16 = "\xFF\xFE";
  for (char c : utf8) {
    utf16 += c;
    utf16 += '\0';
  }
  ExternalLoadWatch watch;
  State state;
  EXPECT_TRUE(readState(utf16, state));
  EXPECT_EQ(watch.loads(), 0);
}

TEST_F(XmlHostileTest, EntityReferencesFailButCharacterReferencesRead) {
  State state;
  EXPECT_TRUE(readState(document("<State id=\"&x;\" flag=\"1\"/>"), state));

  const std::string text = document("<State id=\"&#49;&#x32;\" flag=\"&#49;\"><B blobLen=\"0\"/></State>");
  auto reader = open(text);
  std::uint16_t id = 0;
  bool flag = false;
  reader.pushElem("State");
  reader.io("id", id);
  reader.io("flag", flag);
  EXPECT_FALSE(reader.failed());
  EXPECT_EQ(id, 12);
  EXPECT_TRUE(flag);
}

TEST_F(XmlHostileTest, EveryTruncationFailsOrReadsTheSameState) {
  State written = sample();
  const std::string text = write([&](XmlWriteArchive& archive) { written.serialize(archive); });
  int failures = 0;
  for (std::size_t length = 0; length <= text.size(); ++length) {
    State state;
    if (readState(text.substr(0, length), state)) {
      ++failures;
    } else {
      EXPECT_EQ(state, written) << "truncated to " << length;
    }
  }
  // Reading ends on the last self-closed element, so only cuts in the end tags
  // after it go unnoticed; every other cut fails.
  const std::string last = "<Inner counter=\"-42\"/>";
  const std::size_t unread = text.size() - (text.find(last) + last.size());
  EXPECT_EQ(static_cast<std::size_t>(failures), text.size() - unread);
}

TEST_F(XmlHostileTest, GarbageFailsTheArchive) {
  std::mt19937 random(20240607);
  std::vector<std::string> inputs = {
      "",
      "not xml at all",
      "<GIDS>",
      "<GIDS><State id=\"1\" flag=\"1\"></Other></GIDS>",
      "<GIDS><State id=\"1 flag=\"1\"/></GIDS>",
      "<GIDS/><GIDS/>",
      std::string("<GIDS>\0<State/></GIDS>", 22),
      "\xEF\xBB\xBF<GIDS><State id=\"\xC3\x28\"/></GIDS>",
  };
  for (int i = 0; i < 50; ++i) {
    std::string bytes(1 + random() % 300, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    inputs.push_back("<GIDS>" + bytes);
  }
  for (const auto& input : inputs) {
    State state;
    EXPECT_TRUE(readState(input, state)) << input;
  }
}

TEST_F(XmlHostileTest, ANullDocumentFails) {
  test::TraceCapture capture(trace::kError);
  XmlReadArchive reader(std::span<const std::uint8_t>{}, runtime);
  EXPECT_TRUE(reader.failed());
  EXPECT_EQ(capture.sink().count("XmlReadArchive: null stream"), 1u);
  std::uint8_t value = 5;
  reader.pushElem("A");
  reader.io("a", value);
  reader.popElem();
  EXPECT_EQ(value, 5);
  EXPECT_EQ(capture.sink().lines().size(), 1u);
  EXPECT_FALSE(reader.isStoring());
  EXPECT_EQ(&reader.getRuntime(), &runtime);
}

}  // namespace
}  // namespace quillon

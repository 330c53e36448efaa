// Shared set-up of the XML archive tests: a runtime for getRuntime(), writing a
// document through a callback, and reading over text the test keeps.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>

#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "jc/JCRuntimeImpl.h"

namespace quillon::test {

class XmlArchiveFixture : public ::testing::Test {
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

  JCRuntimeImpl runtime;
};

}  // namespace quillon::test

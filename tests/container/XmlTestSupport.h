// Shared set-up of the XML archive tests: a runtime for getRuntime(), writing a
// document through a callback, and opening a reader over text the test keeps.
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
    if (!document) {
      ADD_FAILURE() << "detachStream failed";
      return {};
    }
    return std::string(document->begin(), document->end());
  }

  // A reader over `text`, which must outlive it.
  XmlReadArchive open(const std::string& text) {
    return XmlReadArchive(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), runtime);
  }

  // A document as another writer might lay it out: the root around `body`.
  static std::string document(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<GIDS>" + body + "</GIDS>";
  }

  JCRuntimeImpl runtime;
};

}  // namespace quillon::test

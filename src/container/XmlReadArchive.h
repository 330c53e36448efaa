// The loading side of the state document: an IArchive that reads, in document
// order, what XmlWriteArchive wrote. The document is hostile input: no DTD, no
// entities, no network, bounded depth and attribute counts; any fault sets the
// failed flag, which the owner checks once at the end. The archive borrows the
// document's bytes, which must outlive it.
#pragma once

#include <libxml/xmlreader.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/OpenSsl.h"
#include "container/Base64.h"
#include "jc/IArchive.h"

namespace quillon {

class XmlReadArchive final : public IArchive {
 public:
  static constexpr std::uint32_t kMaxDepth = 32;
  static constexpr std::size_t kMaxAttributes = 128;
  static constexpr std::size_t kMaxNameChars = 127;
  static constexpr std::size_t kMaxValueChars = 65535;
  // The Base64 text of a blob or raw buffer may need at most this much room, so
  // no buffer above kMaxBufferBytes can be read back (nor is one written).
  static constexpr std::size_t kMaxTextBuffer = 65536;
  static constexpr std::size_t kMaxBufferBytes = 49148;
  static_assert(base64::textBufferSize(kMaxBufferBytes) <= kMaxTextBuffer &&
                base64::textBufferSize(kMaxBufferBytes + 1) > kMaxTextBuffer);

  // Positions the reader on the root element, whose name and attributes are not
  // looked at. A null `document` fails the archive.
  XmlReadArchive(std::span<const std::uint8_t> document, IJCRuntime& runtime);
  ~XmlReadArchive() override = default;
  XmlReadArchive(const XmlReadArchive&) = delete;
  XmlReadArchive& operator=(const XmlReadArchive&) = delete;

  IJCRuntime& getRuntime() override { return runtime_; }
  bool isStoring() const override { return false; }
  // Enters the next element in document order whatever its name: the order of
  // the calls is the format.
  void pushElem(const char* name) override;
  void popElem() override;
  void io(const char* name, std::int32_t& value) override;
  void io(const char* name, std::int16_t& value) override;
  void io(const char* name, std::int8_t& value) override;
  void io(const char* name, bool& value) override;
  void io(const char* name, std::uint64_t& value) override;
  void io(const char* name, std::uint32_t& value) override;
  void io(const char* name, std::uint16_t& value) override;
  void io(const char* name, std::uint8_t& value) override;
  void ioBlob(std::vector<std::uint8_t>& data) override;
  void ioRaw(std::uint8_t* data, std::size_t length) override;

  // Set by the first failure and never cleared; nothing is read after it.
  bool failed() const noexcept { return failed_; }
  std::uint32_t depth() const noexcept { return depth_; }

 private:
  using ReaderPtr = std::unique_ptr<xmlTextReader, ossl::Deleter<xmlFreeTextReader>>;

  // Offsets and lengths in cache_ of one attribute of the element last entered.
  struct CachedAttr {
    std::size_t name;
    std::size_t nameLength;
    std::size_t value;
    std::size_t valueLength;
  };

  int readNode();
  void nextStart();
  void cacheAttrs();
  void clearCache() noexcept;
  std::optional<std::string_view> findAttr(const char* name, std::size_t capacity);
  std::optional<std::string_view> readValue(const char* name, std::size_t capacity);
  static void onParserError(void* context, xmlErrorPtr error);

  IJCRuntime& runtime_;
  bool failed_ = false;
  bool atEnd_ = false;
  std::uint32_t depth_ = 0;
  ReaderPtr reader_;
  // Attribute values may be PINs or keys: they are wiped whenever the cache is
  // refilled and when the archive goes.
  ossl::SecureBytes cache_;
  std::array<CachedAttr, kMaxAttributes> attrs_{};
  std::size_t attrCount_ = 0;
};

}  // namespace quillon

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
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/OpenSsl.h"
#include "container/Base64.h"
#include "jc/IArchive.h"
#include "runtime/StateLimits.h"

namespace quillon {

class XmlReadArchive final : public IArchive {
 public:
  // The loader's limits, shared with the writer and the card's capacity.
  static constexpr std::uint32_t kMaxDepth = limits::kMaxDepth;
  static constexpr std::size_t kMaxAttributes = limits::kMaxAttributes;
  static constexpr std::size_t kMaxNameChars = limits::kMaxNameChars;
  static constexpr std::size_t kMaxValueChars = limits::kMaxValueChars;
  // The Base64 text of a blob or raw buffer may need at most this much room, so
  // no buffer above kMaxBufferBytes can be read back (nor is one written).
  static constexpr std::size_t kMaxTextBuffer = limits::kMaxTextBuffer;
  static constexpr std::size_t kMaxBufferBytes = limits::kMaxBufferBytes;
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
  // Keeps `what` with the element it was found in, and fails the archive.
  void refuse(const char* what) override;

  // Set by the first failure and never cleared; nothing is read after it.
  bool failed() const noexcept { return failed_; }
  std::uint32_t depth() const noexcept { return depth_; }
  // Why the document was refused, for a person: the first fault the archive met
  // or the value the card refused, with the path of the element it was in
  // ("element GidsApplet/GidsPINManager: ..."); empty when neither happened.
  // Numbers are quoted, byte strings never.
  const std::string& fault() const noexcept { return fault_; }
  // Where reading last stood (the element last entered, the attribute last read
  // with its value when it is a number), for a load that an exception stopped
  // without a fault().
  std::string position() const;

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
  // Caches one attribute (none when either string is null); false when the
  // archive failed and no more should be cached.
  bool cacheAttr(const char* rawName, const char* rawValue);
  void clearCache() noexcept;
  std::optional<std::string_view> findAttr(const char* name, std::size_t capacity);
  std::optional<std::string_view> readValue(const char* name, std::size_t capacity);
  static void onParserError(void* context, xmlErrorPtr error);
  // Fails the archive; the first fault is kept, with the element path.
  void fail(const char* what);
  std::string elementPath() const;
  // The attribute last read (the caller's name, a literal) and its value when
  // it is a number; made into words only by position().
  template <class T>
  void noteNumber(const char* name, T value) noexcept {
    lastName_ = name;
    lastIsNumber_ = true;
    lastNegative_ = false;
    if constexpr (std::is_signed_v<T>) lastNegative_ = value < 0;
    lastMagnitude_ = lastNegative_ ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  }
  void noteBytes(const char* name) noexcept;

  IJCRuntime& runtime_;
  bool failed_ = false;
  bool atEnd_ = false;
  std::uint32_t depth_ = 0;
  ReaderPtr reader_;
  // The type of the node the last read reached (the reader stands on it, or on
  // one of its attributes only inside cacheAttrs).
  int nodeType_ = XML_READER_TYPE_NONE;
  // Attribute values may be PINs or keys: they are wiped whenever the cache is
  // refilled and when the archive goes. Its first cacheUsed_ bytes are in use.
  ossl::SecureBytes cache_;
  std::size_t cacheUsed_ = 0;
  std::array<CachedAttr, kMaxAttributes> attrs_{};
  std::size_t attrCount_ = 0;
  // The names of the open elements (the reader's own strings; cut and with
  // unusual characters replaced only when shown), the path of the innermost
  // element an exception left, and the attribute last read with its value when
  // that is a number.
  std::vector<const char*> path_;
  std::string lastElement_;
  const char* lastName_ = nullptr;
  std::uint64_t lastMagnitude_ = 0;
  bool lastNegative_ = false;
  bool lastIsNumber_ = false;
  std::string fault_;
};

}  // namespace quillon

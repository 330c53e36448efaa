#include "container/XmlReadArchive.h"

#include <libxml/parser.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "base/Status.h"
#include "base/Trace.h"
#include "container/LibxmlMemory.h"

namespace quillon {
namespace {

// What a stream reader reports when the input has ended.
constexpr std::uint32_t kEndOfInput = 1;  // S_FALSE

// No entity substitution, no DTD loading or defaulting, no network, no XInclude;
// parser messages come through onParserError rather than stderr.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS;

// Room, terminator included, for the text of each kind of value.
constexpr std::size_t kShortText = 16;  // 8- and 16-bit signed values
constexpr std::size_t kBoolText = 4;
constexpr std::size_t kNumberText = 32;

constexpr std::size_t kInitialCache = 4096;

// The longest element name a fault shows.
constexpr std::size_t kShownNameChars = 64;

void ignoreGenericError(void*, const char*, ...) {}

void initLibxml() {
  container::initLibxml();
  // Errors found before a reader exists (an unsupported encoding) would go to
  // stderr, which is a smart-card daemon's log when this runs in the reader.
  xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
}

// Decimal digits from the start of `text` up to the first non-digit, modulo 2^64;
// narrower fields keep the low bits, which is the same as accumulating in their width.
std::uint64_t parseDigits(std::string_view text) noexcept {
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::uint64_t parseSigned(std::string_view text) noexcept {
  const bool negative = !text.empty() && text.front() == '-';
  const std::uint64_t magnitude = parseDigits(negative ? text.substr(1) : text);
  return negative ? 0 - magnitude : magnitude;
}

// Whether "<!DOCTYPE" occurs anywhere in `text`. A scan for its "!", which no
// Base64 text or number of the document holds, passes over the whole document
// in large strides; memmem and string_view::find stop at every "<".
bool hasDoctype(std::string_view text) noexcept {
  static constexpr std::string_view kDoctype = "<!DOCTYPE";
  if (text.size() < kDoctype.size()) return false;
  const char* from = text.data() + 1;                                       // the first place its "!" can be
  const char* const end = text.data() + text.size() - kDoctype.size() + 2;  // past the last
  while (from < end) {
    const auto* bang = static_cast<const char*>(std::memchr(from, '!', static_cast<std::size_t>(end - from)));
    if (bang == nullptr) return false;
    if (std::memcmp(bang - 1, kDoctype.data(), kDoctype.size()) == 0) return true;
    from = bang + 1;
  }
  return false;
}

// Whether every attribute of `element` has a value of one text node, which the
// reader would hand out as it stands.
bool hasPlainAttributes(const xmlNode* element) noexcept {
  for (const xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
    const xmlNode* text = attr->children;
    if (text == nullptr || text->type != XML_TEXT_NODE || text->next != nullptr) return false;
  }
  return true;
}

}  // namespace

XmlReadArchive::XmlReadArchive(std::span<const std::uint8_t> document, IJCRuntime& runtime) : runtime_(runtime) {
  static constexpr const char* kFunction = "XmlReadArchive::XmlReadArchive";
  initLibxml();
  if (document.data() == nullptr) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: null stream");
    fail("there is no document");
    return;
  }
  if (document.size() > static_cast<std::size_t>(INT_MAX)) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: SetInput hr=0x%08X", status::E_INVALIDARG);
    fail("the document is too large");
    return;
  }
  // The text is read as UTF-8 whatever it declares, so a DTD cannot hide from
  // this scan; refusing it here keeps its declarations away from the parser.
  const std::string_view text(reinterpret_cast<const char*>(document.data()), document.size());
  if (hasDoctype(text)) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: document type declaration refused");
    fail("the document has a document type declaration");
    return;
  }
  reader_.reset(xmlReaderForMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8", kParseOptions));
  if (!reader_) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: CreateXmlReader hr=0x%08X", status::E_OUTOFMEMORY);
    fail("no XML reader could be made");
    return;
  }
  xmlTextReaderSetStructuredErrorHandler(reader_.get(), &XmlReadArchive::onParserError, this);
  try {
    cache_.resize(kInitialCache);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: attr cache HeapAlloc failed");
    fail("out of memory");
    return;
  }
  nextStart();
}

// Only the error's code and line are traced: the parser's message may quote the
// document, which holds secrets.
void XmlReadArchive::onParserError(void* /*context*/, xmlErrorPtr error) {
  if (error == nullptr) return;
  QTRACE(trace::kWarning, "XmlReadArchive", "XmlReadArchive: libxml2 error %d at line %d", error->code, error->line);
}

// One node forward: 1 on a node, 0 at the end of the input, -1 on an error. The
// state document has no DTD and no entities; should either get past the scan in
// the constructor, it is refused here.
int XmlReadArchive::readNode() {
  xmlTextReader* reader = reader_.get();
  const int rc = xmlTextReaderRead(reader);
  if (rc == 0) atEnd_ = true;
  if (rc != 1) return rc < 0 ? -1 : 0;
  const int type = xmlTextReaderNodeType(reader);
  nodeType_ = type;
  if (type == XML_READER_TYPE_DOCUMENT_TYPE || type == XML_READER_TYPE_ENTITY ||
      type == XML_READER_TYPE_ENTITY_REFERENCE) {
    QTRACE(trace::kError, "XmlReadArchive::readNode", "XmlReadArchive: DTD or entity refused (node type %d)", type);
    return -1;
  }
  return 1;
}

void XmlReadArchive::nextStart() {
  for (;;) {
    const int rc = readNode();
    if (rc == 0) return;  // the next attribute look-up fails
    if (rc < 0) {
      QTRACE(trace::kError, "XmlReadArchive::nextStart", "XmlReadArchive::nextStart: Read hr=0x%08X", status::E_FAIL);
      fail("the document is not well-formed XML");
      return;
    }
    if (nodeType_ == XML_READER_TYPE_ELEMENT) return;
  }
}

void XmlReadArchive::pushElem(const char* name) {
  if (failed_) return;
  if (depth_ >= kMaxDepth) {
    QTRACE(trace::kError, "XmlReadArchive::pushElem", "XmlReadArchive::pushElem(%s): max depth %lu exceeded",
           name ? name : "(null)", static_cast<unsigned long>(kMaxDepth));
    fail("elements nest deeper than 32");
    return;
  }
  nextStart();
  if (failed_) return;
  ++depth_;
  // The element's own name (kept by the reader's dictionary as long as the
  // reader lives), or the caller's at the end of the input; made plain only
  // when a fault shows it.
  const auto* local = atEnd_ ? nullptr : reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader_.get()));
  path_.push_back(local != nullptr ? local : (name ? name : "?"));
  lastName_ = nullptr;
  cacheAttrs();
}

void XmlReadArchive::clearCache() noexcept {
  OPENSSL_cleanse(cache_.data(), cacheUsed_);
  cacheUsed_ = 0;
  attrCount_ = 0;
}

void XmlReadArchive::cacheAttrs() {
  clearCache();
  xmlTextReader* reader = reader_.get();
  if (atEnd_ || nodeType_ != XML_READER_TYPE_ELEMENT) return;

  // Attributes that are each one text node, on an element that declares no
  // namespace, are taken from the element's node: the same names and values,
  // in the same order, as the reader gives (it lists namespace declarations
  // first and builds any other value), without three calls per attribute.
  const xmlNode* element = xmlTextReaderCurrentNode(reader);
  if (element != nullptr && element->type == XML_ELEMENT_NODE && element->nsDef == nullptr &&
      hasPlainAttributes(element)) {
    for (const xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next)
      if (!cacheAttr(reinterpret_cast<const char*>(attr->name), reinterpret_cast<const char*>(attr->children->content)))
        break;
    return;
  }
  for (int more = xmlTextReaderMoveToFirstAttribute(reader); more == 1;
       more = xmlTextReaderMoveToNextAttribute(reader)) {
    if (!cacheAttr(reinterpret_cast<const char*>(xmlTextReaderConstLocalName(reader)),
                   reinterpret_cast<const char*>(xmlTextReaderConstValue(reader))))
      break;
  }
  xmlTextReaderMoveToElement(reader);
}

bool XmlReadArchive::cacheAttr(const char* rawName, const char* rawValue) {
  static constexpr const char* kFunction = "XmlReadArchive::cacheAttrs";
  if (rawName == nullptr || rawValue == nullptr) return true;
  if (attrCount_ == kMaxAttributes) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::cacheAttrs: too many attributes");
    fail("an element has more than 128 attributes");
    return false;
  }
  const std::string_view name = std::string_view(rawName).substr(0, kMaxNameChars);
  const std::string_view value = std::string_view(rawValue).substr(0, kMaxValueChars);
  const std::size_t needed = cacheUsed_ + name.size() + value.size();
  try {
    // Grown rarely, and by the wiping allocator, which wipes what it leaves.
    if (needed > cache_.size()) cache_.resize(std::max(needed, 2 * cache_.size()));
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive: attr cache HeapAlloc failed");
    fail("out of memory");
    return false;
  }
  CachedAttr& entry = attrs_[attrCount_];
  entry.name = cacheUsed_;
  entry.nameLength = name.size();
  std::memcpy(cache_.data() + cacheUsed_, name.data(), name.size());
  entry.value = entry.name + name.size();
  entry.valueLength = value.size();
  std::memcpy(cache_.data() + entry.value, value.data(), value.size());
  cacheUsed_ = needed;
  ++attrCount_;
  return true;
}

// The cached value of `name`, cut to capacity - 1 characters as a buffer of
// `capacity` characters would hold it.
std::optional<std::string_view> XmlReadArchive::findAttr(const char* name, std::size_t capacity) {
  const std::string_view wanted = name ? name : "";
  for (std::size_t i = 0; i < attrCount_; ++i) {
    const CachedAttr& entry = attrs_[i];
    if (std::string_view(ossl::chars(cache_) + entry.name, entry.nameLength) != wanted) continue;
    const std::size_t length = capacity == 0 ? 0 : std::min(entry.valueLength, capacity - 1);
    return std::string_view(ossl::chars(cache_) + entry.value, length);
  }
  QTRACE(trace::kError, "XmlReadArchive::findAttr", "XmlReadArchive::findAttr: '%s' not found", name ? name : "(null)");
  const std::string what = (atEnd_ ? "the document ends before attribute " : "attribute ") + std::string(wanted) +
                           (atEnd_ ? "" : " is missing");
  fail(what.c_str());
  return std::nullopt;
}

std::optional<std::string_view> XmlReadArchive::readValue(const char* name, std::size_t capacity) {
  if (failed_) return std::nullopt;
  return findAttr(name, capacity);
}

void XmlReadArchive::io(const char* name, std::int32_t& value) {
  if (auto text = readValue(name, kNumberText)) {
    value = static_cast<std::int32_t>(parseSigned(*text));
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, std::int16_t& value) {
  if (auto text = readValue(name, kShortText)) {
    value = static_cast<std::int16_t>(parseSigned(*text));
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, std::int8_t& value) {
  if (auto text = readValue(name, kShortText)) {
    value = static_cast<std::int8_t>(parseSigned(*text));
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, bool& value) {
  if (auto text = readValue(name, kBoolText)) {
    value = !text->empty() && text->front() == '1';
    noteNumber(name, value ? 1 : 0);
  }
}
void XmlReadArchive::io(const char* name, std::uint64_t& value) {
  if (auto text = readValue(name, kNumberText)) {
    value = parseDigits(*text);
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, std::uint32_t& value) {
  if (auto text = readValue(name, kNumberText)) {
    value = static_cast<std::uint32_t>(parseDigits(*text));
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, std::uint16_t& value) {
  if (auto text = readValue(name, kNumberText)) {
    value = static_cast<std::uint16_t>(parseDigits(*text));
    noteNumber(name, value);
  }
}
void XmlReadArchive::io(const char* name, std::uint8_t& value) {
  if (auto text = readValue(name, kNumberText)) {
    value = static_cast<std::uint8_t>(parseDigits(*text));
    noteNumber(name, value);
  }
}

// Leaving an element reads nothing when the reader stands on a self-closed
// element (the last child read, or the element itself); otherwise it skips to
// the end tag of the current element, over children the caller did not read.
void XmlReadArchive::popElem() {
  if (failed_) return;
  xmlTextReader* reader = reader_.get();
  const bool selfClosed =
      reader != nullptr && !atEnd_ && nodeType_ == XML_READER_TYPE_ELEMENT && xmlTextReaderIsEmptyElement(reader) == 1;
  if (!selfClosed) {
    int nested = 0;
    for (;;) {
      const int rc = readNode();
      if (rc != 1) {
        QTRACE(trace::kError, "XmlReadArchive::skipEnd", "XmlReadArchive::skipEnd: Read hr=0x%08X nested=%d",
               rc == 0 ? kEndOfInput : status::E_FAIL, nested);
        fail(rc == 0 ? "the document ends inside the element" : "the document is not well-formed XML");
        break;
      }
      const int type = nodeType_;
      if (type == XML_READER_TYPE_ELEMENT && xmlTextReaderIsEmptyElement(reader) != 1) {
        ++nested;
      } else if (type == XML_READER_TYPE_END_ELEMENT) {
        if (nested == 0) break;
        --nested;
      }
    }
  }
  if (depth_ > 0) --depth_;
  // An exception leaves the elements one by one: where it stood is kept on the
  // way out, and only then, so that a load pays nothing for it.
  if (lastElement_.empty() && std::uncaught_exceptions() > 0) {
    try {
      lastElement_ = elementPath();
    } catch (const std::bad_alloc&) {
      // Only the words are lost.
    }
  }
  if (!path_.empty()) path_.pop_back();
}

void XmlReadArchive::ioBlob(std::vector<std::uint8_t>& data) {
  static constexpr const char* kFunction = "XmlReadArchive::ioBlob";
  if (failed_) return;
  std::uint32_t length = 0;
  io("blobLen", length);
  if (length == 0) {
    OPENSSL_cleanse(data.data(), data.size());
    data.clear();
    return;
  }
  const std::size_t textSize = base64::textBufferSize(length);
  if (textSize > kMaxTextBuffer) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioBlob: blob too large (%lu bytes)",
           static_cast<unsigned long>(length));
    const std::string what =
        "blobLen holds " + std::to_string(length) + ", past its limit " + std::to_string(kMaxBufferBytes);
    fail(what.c_str());
    return;
  }
  // The text is decoded straight from the wiped attribute cache, cut as a text
  // buffer of textSize characters would cut it.
  const auto text = findAttr("blobData", textSize);
  if (!text) return;
  noteBytes("blobData");

  std::vector<std::uint8_t> decoded;
  try {
    decoded.resize(length);
  } catch (const std::bad_alloc&) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioBlob: data HeapAlloc(%lu) failed",
           static_cast<unsigned long>(length));
    fail("out of memory");
    return;
  }
  const auto got = base64::decode(*text, decoded);
  OPENSSL_cleanse(data.data(), data.size());
  if (!got || *got != length) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioBlob: base64 error (expected %lu got %zu)",
           static_cast<unsigned long>(length), got.value_or(0));
    OPENSSL_cleanse(decoded.data(), decoded.size());
    data.clear();
    fail("blobData is not the Base64 text of blobLen bytes");
    return;
  }
  data = std::move(decoded);
}

void XmlReadArchive::ioRaw(std::uint8_t* data, std::size_t length) {
  static constexpr const char* kFunction = "XmlReadArchive::ioRaw";
  if (failed_ || length == 0) return;
  if (data == nullptr) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioRaw: null buffer");
    fail("rawData has no buffer to go to");
    return;
  }
  if (length > kMaxBufferBytes) {  // its text buffer would exceed kMaxTextBuffer
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioRaw: buffer too large (%zu bytes)", length);
    const std::string what = "a byte string of " + std::to_string(length) + " bytes is more than rawData can hold";
    fail(what.c_str());
    return;
  }
  const auto text = findAttr("rawData", base64::textBufferSize(length));
  if (!text) return;
  noteBytes("rawData");  // a byte string: its content is never shown
  // A shorter text fills only the start of the buffer.
  if (!base64::decode(*text, {data, length})) {
    QTRACE(trace::kError, kFunction, "XmlReadArchive::ioRaw: base64 decode error");
    fail("rawData is not Base64 text");
  }
}

void XmlReadArchive::fail(const char* what) {
  failed_ = true;
  if (!fault_.empty()) return;
  try {
    const std::string where = elementPath();
    fault_ = where.empty() ? std::string(what) : "element " + where + ": " + what;
  } catch (const std::bad_alloc&) {
    // The archive still fails; only the words are lost.
  }
}

void XmlReadArchive::refuse(const char* what) { fail(what ? what : "a value is refused"); }

std::string XmlReadArchive::elementPath() const {
  std::string path;
  for (const char* name : path_) {
    if (!path.empty()) path += '/';
    std::string shown(name, ::strnlen(name, kShownNameChars));
    for (char& c : shown)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') c = '?';
    path += shown;
  }
  return path;
}

void XmlReadArchive::noteBytes(const char* name) noexcept {
  lastName_ = name;
  lastIsNumber_ = false;
}

std::string XmlReadArchive::position() const {
  if (lastElement_.empty()) return "before the first element";
  std::string text = "in element " + lastElement_;
  if (lastName_ == nullptr || *lastName_ == '\0') return text;
  text += std::string(" after attribute ") + lastName_;
  if (lastIsNumber_) text += std::string(" = ") + (lastNegative_ ? "-" : "") + std::to_string(lastMagnitude_);
  return text;
}

}  // namespace quillon

#include "container/XmlWriteArchive.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <cstring>
#include <new>

#include "base/Status.h"
#include "base/Trace.h"
#include "container/Base64.h"
#include "container/LibxmlMemory.h"
#include "container/XmlReadArchive.h"

namespace quillon {
namespace {

using OutputPtr = std::unique_ptr<xmlOutputBuffer, ossl::Deleter<xmlOutputBufferClose>>;

constexpr std::size_t kInitialCapacity = 16 * 1024;

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// The Base64 text of a buffer, NUL-terminated, in wiped storage; false when the
// storage cannot be had.
bool encodeText(const std::uint8_t* data, std::size_t length, ossl::SecureBytes& text) {
  try {
    text.resize(base64::textBufferSize(length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return base64::encode({data, length}, {ossl::chars(text), text.size()}).has_value();
}

// Whether `name` is an XML name without a colon. The names the card writes are
// ASCII letters, digits and '_': those are settled here, since libxml2's check
// decodes every character as UTF-8 first; anything else is left to it.
bool isNCName(const char* name) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  const auto more = [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; };
  bool plain = letter(*name);
  for (const char* c = name + 1; plain && *c != '\0'; ++c) plain = more(*c);
  return plain || xmlValidateNCName(xml(name), 0) == 0;
}

}  // namespace

XmlWriteArchive::XmlWriteArchive(IJCRuntime& runtime) : runtime_(runtime) {
  static constexpr const char* kFunction = "XmlWriteArchive::XmlWriteArchive";
  container::initLibxml();

  // The output stream: libxml2 hands every flushed chunk to appendOutput, which
  // keeps the text in wiped storage.
  OutputPtr output;
  try {
    document_.reserve(kInitialCapacity);
    output.reset(xmlOutputBufferCreateIO(&XmlWriteArchive::appendOutput, nullptr, this, nullptr));
  } catch (const std::bad_alloc&) {
  }
  if (!output) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive: CreateStreamOnHGlobal hr=0x%08X", status::E_OUTOFMEMORY);
    failed_ = true;
    return;
  }

  // The writer takes the output over only when it is created.
  writer_.reset(xmlNewTextWriter(output.get()));
  if (!writer_) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive: CreateXmlWriter hr=0x%08X", status::E_OUTOFMEMORY);
    failed_ = true;
    return;
  }
  output.release();

  xmlTextWriter* writer = writer_.get();
  if (xmlTextWriterSetIndent(writer, 1) < 0 || xmlTextWriterSetIndentString(writer, xml("  ")) < 0 ||
      xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr) < 0 ||
      xmlTextWriterStartElement(writer, xml("GIDS")) < 0) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive: SetOutput hr=0x%08X", status::E_FAIL);
    failed_ = true;
  }
}

XmlWriteArchive::~XmlWriteArchive() {
  // The writer goes first: closing it may still flush into document_.
  writer_.reset();
}

int XmlWriteArchive::appendOutput(void* context, const char* buffer, int length) {
  auto* self = static_cast<XmlWriteArchive*>(context);
  if (length < 0) return -1;
  try {
    self->document_.insert(self->document_.end(), buffer, buffer + length);
  } catch (const std::bad_alloc&) {
    self->outputFailed_ = true;
    return -1;
  }
  return length;
}

std::optional<ossl::SecureBytes> XmlWriteArchive::detachStream() {
  static constexpr const char* kFunction = "XmlWriteArchive::detachStream";
  if (!usable()) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::detachStream: archive in failed state");
    return std::nullopt;
  }
  // Ending the document closes the root and anything a caller left open.
  xmlTextWriter* writer = writer_.get();
  const bool written = xmlTextWriterEndDocument(writer) >= 0 && xmlTextWriterFlush(writer) >= 0;
  writer_.reset();
  if (!written || outputFailed_) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::detachStream: Flush hr=0x%08X",
           outputFailed_ ? status::E_OUTOFMEMORY : status::E_FAIL);
    failed_ = true;
    return std::nullopt;
  }
  return std::move(document_);
}

void XmlWriteArchive::pushElem(const char* name) {
  if (!usable()) return;
  const bool valid = name != nullptr && isNCName(name);
  if (!valid || xmlTextWriterStartElement(writer_.get(), xml(name)) < 0) {
    QTRACE(trace::kError, "XmlWriteArchive::pushElem", "XmlWriteArchive::pushElem(%s) hr=0x%08X",
           name ? name : "(null)", valid ? status::E_FAIL : status::E_INVALIDARG);
    failed_ = true;
  }
}

void XmlWriteArchive::popElem() {
  if (!usable()) return;
  if (xmlTextWriterEndElement(writer_.get()) < 0) {
    QTRACE(trace::kError, "XmlWriteArchive::popElem", "XmlWriteArchive::popElem hr=0x%08X", status::E_FAIL);
    failed_ = true;
  }
}

void XmlWriteArchive::writeAttr(const char* name, const char* text) {
  // Names and values are cut where the reader would cut them.
  char shortName[XmlReadArchive::kMaxNameChars + 1] = {};
  if (name != nullptr) {
    const std::size_t length = ::strnlen(name, XmlReadArchive::kMaxNameChars);
    std::memcpy(shortName, name, length);
  }
  ossl::SecureBytes shortText;
  if (std::strlen(text) > XmlReadArchive::kMaxValueChars) {
    shortText.assign(text, text + XmlReadArchive::kMaxValueChars);
    shortText.push_back('\0');
    text = ossl::chars(shortText);
  }
  const bool valid = isNCName(shortName);
  if (!valid || xmlTextWriterWriteAttribute(writer_.get(), xml(shortName), xml(text)) < 0) {
    QTRACE(trace::kError, "XmlWriteArchive::writeAttr", "XmlWriteArchive::writeAttr(%s) hr=0x%08X", shortName,
           valid ? status::E_FAIL : status::E_INVALIDARG);
    failed_ = true;
  }
}

template <class T>
void XmlWriteArchive::writeNumber(const char* name, T value) {
  if (!usable()) return;
  char text[32];
  *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
  writeAttr(name, text);
}

void XmlWriteArchive::io(const char* name, std::int32_t& value) { writeNumber(name, value); }
void XmlWriteArchive::io(const char* name, std::int16_t& value) { writeNumber(name, int{value}); }
void XmlWriteArchive::io(const char* name, std::int8_t& value) { writeNumber(name, int{value}); }
void XmlWriteArchive::io(const char* name, bool& value) { writeNumber(name, value ? 1 : 0); }
void XmlWriteArchive::io(const char* name, std::uint64_t& value) { writeNumber(name, value); }
void XmlWriteArchive::io(const char* name, std::uint32_t& value) { writeNumber(name, value); }
void XmlWriteArchive::io(const char* name, std::uint16_t& value) { writeNumber(name, unsigned{value}); }
void XmlWriteArchive::io(const char* name, std::uint8_t& value) { writeNumber(name, unsigned{value}); }

void XmlWriteArchive::ioBlob(std::vector<std::uint8_t>& data) {
  static constexpr const char* kFunction = "XmlWriteArchive::ioBlob";
  if (!usable()) return;
  // A buffer the reader could not take back is refused rather than written cut short.
  if (data.size() > XmlReadArchive::kMaxBufferBytes) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::ioBlob: blob too large (%zu bytes)", data.size());
    failed_ = true;
    return;
  }
  std::uint32_t length = static_cast<std::uint32_t>(data.size());
  io("blobLen", length);
  if (length == 0 || !usable()) return;

  ossl::SecureBytes text;
  if (!encodeText(data.data(), data.size(), text)) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::ioBlob: HeapAlloc(%zu) failed",
           base64::textBufferSize(data.size()));
    failed_ = true;
    return;
  }
  writeAttr("blobData", ossl::chars(text));
}

void XmlWriteArchive::ioRaw(std::uint8_t* data, std::size_t length) {
  static constexpr const char* kFunction = "XmlWriteArchive::ioRaw";
  if (!usable() || length == 0) return;
  if (data == nullptr) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::ioRaw: null buffer");
    failed_ = true;
    return;
  }
  if (length > XmlReadArchive::kMaxBufferBytes) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::ioRaw: buffer too large (%zu bytes)", length);
    failed_ = true;
    return;
  }

  ossl::SecureBytes text;
  if (!encodeText(data, length, text)) {
    QTRACE(trace::kError, kFunction, "XmlWriteArchive::ioRaw: HeapAlloc(%zu) failed", base64::textBufferSize(length));
    failed_ = true;
    return;
  }
  writeAttr("rawData", ossl::chars(text));
}

}  // namespace quillon

// The storing side of the state document: an IArchive that writes the object graph
// as indented UTF-8 XML under a root element "GIDS", in memory. detachStream()
// hands the finished document to the caller, who owns it from then on; it is
// held in wiped storage because the document carries PINs and keys.
#pragma once

#include <libxml/xmlwriter.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/OpenSsl.h"
#include "jc/IArchive.h"

namespace quillon {

class XmlWriteArchive final : public IArchive {
 public:
  explicit XmlWriteArchive(IJCRuntime& runtime);
  ~XmlWriteArchive() override;
  XmlWriteArchive(const XmlWriteArchive&) = delete;
  XmlWriteArchive& operator=(const XmlWriteArchive&) = delete;

  IJCRuntime& getRuntime() override { return runtime_; }
  bool isStoring() const override { return true; }
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

  // Closes the document and returns its bytes; nullopt once the archive has
  // failed or the document was already detached.
  std::optional<ossl::SecureBytes> detachStream();

  // Set by the first failure and never cleared: the document is then unusable.
  bool failed() const noexcept { return failed_; }

 private:
  using WriterPtr = std::unique_ptr<xmlTextWriter, ossl::Deleter<xmlFreeTextWriter>>;

  static int appendOutput(void* context, const char* buffer, int length);
  bool usable() const noexcept { return !failed_ && writer_ != nullptr; }
  void writeAttr(const char* name, const char* text);
  // The decimal text of an integer, as printf's %d and %u write it.
  template <class T>
  void writeNumber(const char* name, T value);

  IJCRuntime& runtime_;
  bool failed_ = false;
  bool outputFailed_ = false;
  ossl::SecureBytes document_;  // filled by appendOutput; outlives writer_
  WriterPtr writer_;
};

}  // namespace quillon

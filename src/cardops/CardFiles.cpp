#include "cardops/CardFiles.h"

#include <openssl/bio.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <memory>

#include "base/Trace.h"
#include "base/Utf8.h"

namespace quillon::cardops {

namespace {
constexpr const char* kFn = "CardFiles";
constexpr std::size_t kContainerNameBytes = 80;
constexpr std::size_t kMasterNameBytes = 9;

using X509Ptr = std::unique_ptr<X509, ossl::Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, ossl::Deleter<BIO_free>>;

unsigned littleEndian(const std::uint8_t* p, std::size_t n) {
  unsigned value = 0;
  for (std::size_t i = n; i > 0; --i) value = value << 8 | p[i - 1];
  return value;
}

// An ASCII name padded with zero bytes; anything from the first zero on is padding.
std::string paddedName(const std::uint8_t* p) {
  std::string name;
  for (std::size_t i = 0; i < kMasterNameBytes && p[i] != 0; ++i) name += static_cast<char>(p[i]);
  return name;
}

// What OpenSSL prints into a memory BIO, as text.
template <class Print>
bool printed(Print print, std::string& out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || print(bio.get()) <= 0) return false;
  BUF_MEM* memory = nullptr;
  BIO_get_mem_ptr(bio.get(), &memory);
  if (memory == nullptr) return false;
  out.assign(memory->data, memory->length);
  return true;
}

bool readX509(std::span<const std::uint8_t> der, Certificate& certificate, std::string& error) {
  const unsigned char* p = der.data();
  X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x509) {
    ossl::traceErrors(kFn, "d2i_X509", trace::kWarning);
    error = "is not a valid X.509 certificate";
    return false;
  }
  const unsigned long nameFlags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB;
  EVP_PKEY* key = X509_get0_pubkey(x509.get());
  if (!printed([&](BIO* b) { return X509_NAME_print_ex(b, X509_get_subject_name(x509.get()), 0, nameFlags) >= 0; },
               certificate.subject) ||
      !printed([&](BIO* b) { return X509_NAME_print_ex(b, X509_get_issuer_name(x509.get()), 0, nameFlags) >= 0; },
               certificate.issuer) ||
      !printed([&](BIO* b) { return ASN1_TIME_print(b, X509_get0_notBefore(x509.get())); }, certificate.notBefore) ||
      !printed([&](BIO* b) { return ASN1_TIME_print(b, X509_get0_notAfter(x509.get())); }, certificate.notAfter) ||
      key == nullptr) {
    ossl::traceErrors(kFn, "X509 fields", trace::kWarning);
    error = "is a certificate OpenSSL cannot read";
    return false;
  }
  certificate.keyBits = static_cast<unsigned>(EVP_PKEY_get_bits(key));
  return true;
}
}  // namespace

bool parseContainerMap(std::span<const std::uint8_t> map, std::vector<KeyContainer>& containers, std::string& error) {
  containers.clear();
  if (map.size() % kContainerRecordSize != 0) {
    QTRACE(trace::kWarning, kFn, "parseContainerMap: %zu bytes is not a whole number of records", map.size());
    error = "The card's container map is damaged (a record is cut short).";
    return false;
  }
  for (std::size_t at = 0; at < map.size(); at += kContainerRecordSize) {
    const std::uint8_t* record = map.data() + at;
    KeyContainer container;
    if (!utf8::fromUtf16Le(record, kContainerNameBytes, container.name)) {
      QTRACE(trace::kWarning, kFn, "parseContainerMap: record %zu has a malformed name", at / kContainerRecordSize);
      error = "The card's container map is damaged (a container name is not valid text).";
      containers.clear();
      return false;
    }
    const std::uint8_t flags = record[kContainerNameBytes];
    container.valid = (flags & 0x01) != 0;
    container.isDefault = (flags & 0x02) != 0;
    container.signatureBits = littleEndian(record + kContainerNameBytes + 2, 2);
    container.keyExchangeBits = littleEndian(record + kContainerNameBytes + 4, 2);
    containers.push_back(std::move(container));
  }
  return true;
}

bool parseMasterFile(std::span<const std::uint8_t> file, std::vector<MasterFileEntry>& entries, std::string& error) {
  entries.clear();
  if (file.empty() || file[0] != 0x01 || (file.size() - 1) % kMasterRecordSize != 0) {
    QTRACE(trace::kWarning, kFn, "parseMasterFile: %zu bytes, not version 01 with whole records", file.size());
    error = "The card's master file is damaged.";
    return false;
  }
  for (std::size_t at = 1; at < file.size(); at += kMasterRecordSize) {
    const std::uint8_t* record = file.data() + at;
    const unsigned tag = littleEndian(record + 20, 4);
    const unsigned fileId = littleEndian(record + 24, 4);
    if (tag > 0xFFFF || fileId > 0xFFFF) {
      QTRACE(trace::kWarning, kFn, "parseMasterFile: record %zu names %08X/%08X", at / kMasterRecordSize, tag, fileId);
      error = "The card's master file is damaged.";
      entries.clear();
      return false;
    }
    entries.push_back(MasterFileEntry{paddedName(record), paddedName(record + kMasterNameBytes),
                                      static_cast<std::uint16_t>(tag), static_cast<std::uint16_t>(fileId)});
  }
  return true;
}

bool isCertificateEntry(const MasterFileEntry& entry) {
  const std::string& f = entry.file;
  return entry.directory == "mscp" && f.size() == 5 && (f.starts_with("kxc") || f.starts_with("ksc")) && f[3] >= '0' &&
         f[3] <= '9' && f[4] >= '0' && f[4] <= '9';
}

bool parseCertificateFile(std::span<const std::uint8_t> content, Certificate& certificate, std::string& error) {
  if (content.size() >= 4 && content[0] == 0x01 && content[1] == 0x00) {
    const uLongf declared = littleEndian(content.data() + 2, 2);
    std::vector<std::uint8_t> der(declared);
    uLongf length = declared;
    uLong consumed = content.size() - 4;
    const int z = declared == 0 ? Z_DATA_ERROR : uncompress2(der.data(), &length, content.data() + 4, &consumed);
    if (z != Z_OK || length != declared) {
      QTRACE(trace::kWarning, kFn, "parseCertificateFile: inflate gave %d, %lu of %lu bytes", z,
             static_cast<unsigned long>(length), static_cast<unsigned long>(declared));
      error = "is damaged (its compressed data do not inflate to the stated length)";
      return false;
    }
    return readX509(der, certificate, error);
  }
  return readX509(content, certificate, error);
}

}  // namespace quillon::cardops

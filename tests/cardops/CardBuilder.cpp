#include "CardBuilder.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <zlib.h>

#include "support/CardFixture.h"

namespace quillon::test {

namespace {
using X509Ptr = std::unique_ptr<X509, ossl::Deleter<X509_free>>;

Bytes tlv(std::uint16_t tag, const Bytes& value) {
  Bytes object{static_cast<std::uint8_t>(tag >> 8), static_cast<std::uint8_t>(tag)};
  if (value.size() < 0x80) {
    object.push_back(static_cast<std::uint8_t>(value.size()));
  } else if (value.size() < 0x100) {
    object.insert(object.end(), {0x81, static_cast<std::uint8_t>(value.size())});
  } else {
    object.insert(object.end(),
                  {0x82, static_cast<std::uint8_t>(value.size() >> 8), static_cast<std::uint8_t>(value.size())});
  }
  object.insert(object.end(), value.begin(), value.end());
  return object;
}

void addName(X509_NAME* name, const std::string& commonName) {
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                             -1, 0);
}
}  // namespace

Bytes makeCertificate(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, const std::string& commonName, int days) {
  X509Ptr x509(X509_new());
  X509_set_version(x509.get(), X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 7);
  ASN1_TIME_set_string(X509_getm_notBefore(x509.get()), "20260101000000Z");
  ASN1_TIME_set(X509_getm_notAfter(x509.get()), 1767225600 + static_cast<time_t>(days) * 86400);
  addName(X509_get_subject_name(x509.get()), commonName);
  addName(X509_get_issuer_name(x509.get()), "Quillon Test CA");
  X509_set_pubkey(x509.get(), subjectKey);
  EXPECT_GT(X509_sign(x509.get(), issuerKey, EVP_sha256()), 0);
  const int length = i2d_X509(x509.get(), nullptr);
  Bytes der(static_cast<std::size_t>(std::max(length, 0)));
  unsigned char* p = der.data();
  i2d_X509(x509.get(), &p);
  return der;
}

Bytes compressCertificate(const Bytes& der) {
  Bytes out(4 + compressBound(der.size()));
  uLongf length = out.size() - 4;
  EXPECT_EQ(compress2(out.data() + 4, &length, der.data(), der.size(), Z_BEST_COMPRESSION), Z_OK);
  out.resize(4 + length);
  out[0] = 0x01;
  out[1] = 0x00;
  out[2] = static_cast<std::uint8_t>(der.size());
  out[3] = static_cast<std::uint8_t>(der.size() >> 8);
  return out;
}

Bytes containerRecord(const std::string& asciiName, std::uint8_t flags, std::uint16_t signatureBits,
                      std::uint16_t keyExchangeBits) {
  Bytes record(86, 0);
  for (std::size_t i = 0; i < asciiName.size() && i < 39; ++i) record[2 * i] = static_cast<std::uint8_t>(asciiName[i]);
  record[80] = flags;
  record[82] = static_cast<std::uint8_t>(signatureBits);
  record[83] = static_cast<std::uint8_t>(signatureBits >> 8);
  record[84] = static_cast<std::uint8_t>(keyExchangeBits);
  record[85] = static_cast<std::uint8_t>(keyExchangeBits >> 8);
  return record;
}

void putData(IJCRuntime& runtime, std::uint16_t fileId, std::uint16_t tag, const Bytes& value) {
  const Bytes object = tlv(tag, value);
  for (std::size_t at = 0; at < object.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, object.size() - at);
    const bool last = at + n == object.size();
    Bytes command{static_cast<std::uint8_t>(last ? 0x00 : 0x10), 0xDB, static_cast<std::uint8_t>(fileId >> 8),
                  static_cast<std::uint8_t>(fileId), static_cast<std::uint8_t>(n)};
    command.insert(command.end(), object.begin() + static_cast<std::ptrdiff_t>(at),
                   object.begin() + static_cast<std::ptrdiff_t>(at + n));
    ASSERT_EQ(transmitHex(runtime, toHex(command)).sw, 0x9000) << "PUT DATA at " << at;
  }
}

void addMasterFileEntry(IJCRuntime& runtime, const std::string& file, std::uint16_t tag, std::uint16_t fileId) {
  const Response current = readAll(runtime, transmitHex(runtime, "00CBA000045C02DF1F00"));
  ASSERT_EQ(current.sw, 0x9000);
  Bytes master = fromHex(current.data);
  master.erase(master.begin(), master.begin() + (master[2] == 0x81 ? 4 : 5));  // tag and length
  Bytes record(28, 0);
  const std::string directory = "mscp";
  std::copy(directory.begin(), directory.end(), record.begin());
  std::copy(file.begin(), file.end(), record.begin() + 9);
  record[20] = static_cast<std::uint8_t>(tag);
  record[21] = static_cast<std::uint8_t>(tag >> 8);
  record[24] = static_cast<std::uint8_t>(fileId);
  record[25] = static_cast<std::uint8_t>(fileId >> 8);
  master.insert(master.end(), record.begin(), record.end());
  putData(runtime, 0xA000, 0xDF1F, master);
}

}  // namespace quillon::test

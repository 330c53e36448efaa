// What OpenSC leaves on a GIDS card once a key pair is generated and its
// certificate written, built with the terminal's own commands: a container map
// record, a compressed certificate in a data object, and its master-file entry.
#pragma once

#include <cstdint>
#include <string>

#include "base/OpenSsl.h"
#include "jc/IJCRuntime.h"
#include "support/TestData.h"

namespace quillon::test {

// A self-signed-style certificate for `subjectKey`, issued by "Quillon Test CA"
// with `issuerKey`, valid from 2026-01-01 for `days` days.
Bytes makeCertificate(EVP_PKEY* subjectKey, EVP_PKEY* issuerKey, const std::string& commonName, int days);
// 01 00, the DER length (little-endian) and the zlib stream.
Bytes compressCertificate(const Bytes& der);
// One 86-byte container map record.
Bytes containerRecord(const std::string& asciiName, std::uint8_t flags, std::uint16_t signatureBits,
                      std::uint16_t keyExchangeBits);
// PUT DATA of a whole data object into `fileId`, chained in 255-byte pieces.
void putData(IJCRuntime& runtime, std::uint16_t fileId, std::uint16_t tag, const Bytes& value);
// Appends a master-file record mscp/<file> -> fileId/tag.
void addMasterFileEntry(IJCRuntime& runtime, const std::string& file, std::uint16_t tag, std::uint16_t fileId);

}  // namespace quillon::test

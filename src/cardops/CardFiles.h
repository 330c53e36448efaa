// The minidriver files a GIDS card keeps in data objects, decoded from the bytes
// the card returns: the container map (A010/DF23), the master file that maps
// file names to data objects (A000/DF1F), and a certificate file (compressed
// DER). The bytes come from the card and are checked as hostile.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cardops/CardOperations.h"

namespace quillon::cardops {

inline constexpr std::size_t kContainerRecordSize = 86;
inline constexpr std::size_t kMasterRecordSize = 28;

// One record of the master file: "mscp"/"kxc00" lives in data object `tag` of
// data-object file `fileId`.
struct MasterFileEntry {
  std::string directory;
  std::string file;
  std::uint16_t tag = 0;
  std::uint16_t fileId = 0;
};

// Each 86-byte record of the container map. False (with `error`) for a map that
// is not a whole number of records or a name that is not UTF-16LE.
bool parseContainerMap(std::span<const std::uint8_t> map, std::vector<KeyContainer>& containers, std::string& error);

// The version byte 01, then 28-byte records. False with `error` otherwise.
bool parseMasterFile(std::span<const std::uint8_t> file, std::vector<MasterFileEntry>& entries, std::string& error);

// Whether an entry names a certificate of the "mscp" directory: kxcNN or kscNN.
bool isCertificateEntry(const MasterFileEntry& entry);

// A certificate file: 01 00, the DER length (2 bytes, little-endian) and the
// zlib-compressed DER; or plain DER. Fills everything but `file`.
bool parseCertificateFile(std::span<const std::uint8_t> content, Certificate& certificate, std::string& error);

}  // namespace quillon::cardops

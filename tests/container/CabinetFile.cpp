#include "CabinetFile.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "container/MszipFormat.h"

namespace quillon::test {

namespace mszip = container::mszip;

namespace {

constexpr std::size_t kHeaderBytes = 36;  // CFHEADER without reserved fields
constexpr std::size_t kFolderBytes = 8;   // CFFOLDER
constexpr std::size_t kFileBytes = 16;    // CFFILE before its name
constexpr std::size_t kDataBytes = 8;     // CFDATA before its data
constexpr std::uint16_t kTypeMszip = 1;

void put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) { mszip::storeLe32(value, &out[at]); }

std::uint16_t get16(const std::vector<std::uint8_t>& in, std::size_t at) {
  return static_cast<std::uint16_t>(in[at] | in[at + 1] << 8);
}

}  // namespace

std::vector<std::uint8_t> cabinetFromMszip(const std::vector<std::uint8_t>& buffer, const std::string& fileName) {
  const std::uint64_t total = mszip::loadLe64(buffer.data() + 8);
  struct Block {
    std::size_t offset;
    std::uint32_t length;
  };
  std::vector<Block> blocks;
  for (std::size_t pos = mszip::kHeaderSize; pos + 4 <= buffer.size();) {
    const std::uint32_t length = mszip::loadLe32(buffer.data() + pos);
    blocks.push_back({pos + 4, length});
    pos += 4 + length;
  }
  const std::size_t dataStart = kHeaderBytes + kFolderBytes + kFileBytes + fileName.size() + 1;
  std::vector<std::uint8_t> cab(dataStart);
  const char kSignature[] = "MSCF";
  std::copy(kSignature, kSignature + 4, cab.begin());
  put32(cab, 16, kHeaderBytes + kFolderBytes);  // first CFFILE
  cab[24] = 3;                                  // version 1.3
  cab[25] = 1;
  put16(cab, 26, 1);  // folders
  put16(cab, 28, 1);  // files
  put32(cab, kHeaderBytes, static_cast<std::uint32_t>(dataStart));
  put16(cab, kHeaderBytes + 4, static_cast<std::uint16_t>(blocks.size()));
  put16(cab, kHeaderBytes + 6, kTypeMszip);
  const std::size_t file = kHeaderBytes + kFolderBytes;
  put32(cab, file, static_cast<std::uint32_t>(total));
  put16(cab, file + 10, 0x5A21);  // 2025-01-01
  put16(cab, file + 14, 0x20);    // archive attribute
  std::copy(fileName.begin(), fileName.end(), cab.begin() + static_cast<std::ptrdiff_t>(file + kFileBytes));

  std::uint64_t remaining = total;
  for (const Block& block : blocks) {
    const std::size_t at = cab.size();
    cab.resize(at + kDataBytes);
    put32(cab, at, 0);  // no checksum
    put16(cab, at + 4, static_cast<std::uint16_t>(block.length));
    const auto uncompressed = static_cast<std::uint16_t>(std::min<std::uint64_t>(remaining, mszip::kChunkSize));
    put16(cab, at + 6, uncompressed);
    remaining -= uncompressed;
    cab.insert(cab.end(), buffer.begin() + static_cast<std::ptrdiff_t>(block.offset),
               buffer.begin() + static_cast<std::ptrdiff_t>(block.offset + block.length));
  }
  put32(cab, 8, static_cast<std::uint32_t>(cab.size()));
  return cab;
}

std::vector<std::uint8_t> mszipFromCabinet(const std::vector<std::uint8_t>& cab) {
  if (cab.size() < kHeaderBytes + kFolderBytes || cab[0] != 'M' || cab[1] != 'S' || cab[2] != 'C' || cab[3] != 'F' ||
      get16(cab, 26) != 1 || get16(cab, 30) != 0) {
    ADD_FAILURE() << "not a plain single-folder cabinet";
    return {};
  }
  std::size_t pos = mszip::loadLe32(&cab[kHeaderBytes]);
  const std::uint16_t count = get16(cab, kHeaderBytes + 4);
  if ((get16(cab, kHeaderBytes + 6) & 0x0F) != kTypeMszip) {
    ADD_FAILURE() << "folder is not MSZIP";
    return {};
  }
  std::vector<std::uint8_t> chunks;
  std::uint64_t total = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (pos + kDataBytes > cab.size()) break;
    const std::uint16_t length = get16(cab, pos + 4);
    const std::uint16_t uncompressed = get16(cab, pos + 6);
    if (pos + kDataBytes + length > cab.size()) break;
    if (i + 1 < count && uncompressed != mszip::kChunkSize) {
      ADD_FAILURE() << "block " << i << " holds " << uncompressed << " bytes";
      return {};
    }
    std::uint8_t len[4];
    mszip::storeLe32(length, len);
    chunks.insert(chunks.end(), len, len + 4);
    chunks.insert(chunks.end(), cab.begin() + static_cast<std::ptrdiff_t>(pos + kDataBytes),
                  cab.begin() + static_cast<std::ptrdiff_t>(pos + kDataBytes + length));
    total += uncompressed;
    pos += kDataBytes + length;
  }
  std::vector<std::uint8_t> buffer(mszip::kHeaderSize);
  mszip::writeHeader(total, buffer.data());
  buffer.insert(buffer.end(), chunks.begin(), chunks.end());
  return buffer;
}

int runCommand(const std::string& command) {
  const int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string makeScratchDirectory(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("quillon-container-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

}  // namespace quillon::test

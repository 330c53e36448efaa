// The container tests' data files under $QUILLON_TEST_DATA/container: raw and hex
// files, and vector files of "Name = value" records separated by blank lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

using VecRecord = std::map<std::string, std::string>;

std::string containerDataPath(const std::string& name);

// Every byte of a file; fails the test when it cannot be read.
std::vector<std::uint8_t> readFileBytes(const std::string& path);

// A file of hexadecimal digits (whitespace ignored).
std::vector<std::uint8_t> readHexFile(const std::string& name);

// Records of a .vec file; lines starting with '#' are comments.
std::vector<VecRecord> readVecFile(const std::string& name);

// Hex text to bytes; fails the test on a malformed string.
std::vector<std::uint8_t> fromHex(std::string_view text);

}  // namespace quillon::test

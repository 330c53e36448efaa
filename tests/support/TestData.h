// Test data files under $QUILLON_TEST_DATA (tests/data when ctest runs, the source
// tree otherwise) and hex text helpers. Every function fails the calling test on
// unreadable input and returns what it could read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/TempDir.h"

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;
using VecRecord = std::map<std::string, std::string>;

Bytes fromHex(std::string_view hex);  // blanks allowed
std::string toHex(const Bytes& bytes);

// The path of `relative` (for example "crypto/tdes.vec") below the data root.
std::string dataPath(const std::string& relative);
Bytes readFileBytes(const std::string& path);
void writeFileBytes(const std::filesystem::path& path, const Bytes& bytes);
// The names in `dir` other than `besides`.
std::set<std::string> fileNames(const std::filesystem::path& dir, const std::string& besides = "");

// The data files' escapes: \n \r \t \0 a control character, \xHH a byte, \C the
// character C, {text*N} text (escapes too) N times.
std::string unescape(std::string_view text);

// A data file of hexadecimal digits, whitespace ignored.
Bytes readHexFile(const std::string& relative);
// A vector file: "Name = value" records separated by blank lines; '#' lines are comments.
std::vector<VecRecord> readVecFile(const std::string& relative);
// The first record of a vector file, every value decoded from hex.
std::map<std::string, Bytes> readHexVectors(const std::string& relative);

}  // namespace quillon::test

#include "TestData.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "base/Hex.h"

namespace quillon::test {

std::string containerDataPath(const std::string& name) {
  // QUILLON_TEST_DATA first; the source tree when it is unset or does not hold the file.
  if (const char* root = std::getenv("QUILLON_TEST_DATA")) {
    const std::string path = std::string(root) + "/container/" + name;
    if (std::filesystem::exists(path)) return path;
  }
  return std::string(QUILLON_SOURCE_TEST_DATA) + "/container/" + name;
}

std::vector<std::uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> fromHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  EXPECT_TRUE(hex::decode(text, bytes)) << "bad hex: " << text;
  return bytes;
}

std::vector<std::uint8_t> readHexFile(const std::string& name) {
  const auto raw = readFileBytes(containerDataPath(name));
  std::string digits;
  for (const std::uint8_t c : raw)
    if (!std::isspace(c)) digits.push_back(static_cast<char>(c));
  return fromHex(digits);
}

std::vector<VecRecord> readVecFile(const std::string& name) {
  std::ifstream in(containerDataPath(name));
  EXPECT_TRUE(in.good()) << "cannot open " << name;
  std::vector<VecRecord> records;
  VecRecord current;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      if (!current.empty()) records.push_back(std::move(current));
      current.clear();
      continue;
    }
    auto trim = [](std::string s) {
      const auto first = s.find_first_not_of(" \t");
      if (first == std::string::npos) return std::string();
      return s.substr(first, s.find_last_not_of(" \t") - first + 1);
    };
    current[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  if (!current.empty()) records.push_back(std::move(current));
  return records;
}

}  // namespace quillon::test

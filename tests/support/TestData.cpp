#include "support/TestData.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/Hex.h"

namespace quillon::test {

Bytes fromHex(std::string_view text) {
  Bytes bytes;
  EXPECT_TRUE(hex::decode(text, bytes)) << "bad hex: " << text;
  return bytes;
}

std::string toHex(const Bytes& bytes) { return hex::encode(bytes); }

std::string dataPath(const std::string& relative) {
  if (const char* root = std::getenv("QUILLON_TEST_DATA")) {
    const std::string path = std::string(root) + "/" + relative;
    if (std::filesystem::exists(path)) return path;
  }
  return std::string(QUILLON_SOURCE_TEST_DATA) + "/" + relative;
}

Bytes readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> fileNames(const std::filesystem::path& dir, const std::string& besides) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().filename() != besides) names.insert(entry.path().filename().string());
  return names;
}

std::string unescape(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::size_t star = in.find('*', i), end = in.find('}', i);
    if (in[i] == '{' && star < end && end != std::string_view::npos) {
      const std::string unit = unescape(in.substr(i + 1, star - i - 1));
      for (int n = std::stoi(std::string(in.substr(star + 1, end - star - 1))); n > 0; --n) out += unit;
      i = end;
    } else if (in[i] == '\\' && i + 3 < in.size() && in[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(std::string(in.substr(i + 2, 2)), nullptr, 16));
      i += 3;
    } else if (in[i] == '\\' && i + 1 < in.size()) {
      const char c = in[++i];
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    } else {
      out += in[i];
    }
  }
  return out;
}

Bytes readHexFile(const std::string& relative) {
  std::string digits;
  for (const std::uint8_t c : readFileBytes(dataPath(relative)))
    if (!std::isspace(c)) digits.push_back(static_cast<char>(c));
  return fromHex(digits);
}

std::vector<VecRecord> readVecFile(const std::string& relative) {
  std::ifstream in(dataPath(relative));
  EXPECT_TRUE(in.good()) << "cannot open " << relative;
  auto trim = [](const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(" \t") - first + 1);
  };
  std::vector<VecRecord> records(1);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) {
      records.back()[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    } else if (!records.back().empty()) {
      records.emplace_back();
    }
  }
  if (records.back().empty()) records.pop_back();
  return records;
}

std::map<std::string, Bytes> readHexVectors(const std::string& relative) {
  std::map<std::string, Bytes> vectors;
  const auto records = readVecFile(relative);
  if (!records.empty())
    for (const auto& [name, value] : records[0]) vectors[name] = fromHex(value);
  return vectors;
}

}  // namespace quillon::test

// BER-TLV reading on hostile bytes, case by case from tests/data/gids/tlv-vectors.txt.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gids/UtilTLV.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/TestData.h"

namespace quillon {
namespace {

using namespace UtilTLV;

// "DF 20 AB*3" → DF 20 AB AB AB.
test::Bytes bytesOf(const std::string& text) {
  test::Bytes bytes;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    const std::size_t star = word.find('*');
    const test::Bytes one = test::fromHex(word.substr(0, star));
    const std::size_t times = star == std::string::npos ? 1 : std::stoul(word.substr(star + 1));
    for (std::size_t i = 0; i < times; ++i) bytes.insert(bytes.end(), one.begin(), one.end());
  }
  return bytes;
}

class UtilTLVTest : public ::testing::Test {
 protected:
  ByteArray array(const test::Bytes& bytes) {
    ByteArray a(static_cast<std::uint16_t>(bytes.size()), runtime.persistentMemory(), JC_HERE("UtilTLVTest"));
    for (std::size_t i = 0; i < bytes.size(); ++i) a[static_cast<std::uint16_t>(i)] = bytes[i];
    return a;
  }

  // What the function gives for the case, in the file's notation.
  std::string run(const std::string& function, const test::Bytes& bytes, std::istringstream& args) {
    std::uint32_t a = 0, b = 0;
    std::string tag;
    args >> a >> b >> tag;
    const auto u16 = [](std::uint32_t v) { return static_cast<std::uint16_t>(v); };
    try {
      if (function == "objectsize") {
        test::Bytes command(512, 0);
        std::copy(bytes.begin(), bytes.end(), command.begin() + 5);
        return std::to_string(getCommandDataObjectSize(array(command), u16(a)));
      }
      const ByteArray data = array(bytes);
      if (function == "decode") return std::to_string(decodeLengthField(data, u16(a)));
      if (function == "fieldsize") return std::to_string(getLengthFieldLength(data, u16(a)));
      if (function == "element" || function == "element0") {
        const Element e = elementAt(data, u16(a), function == "element0");
        return std::to_string(e.value) + " " + std::to_string(e.length);
      }
      if (function == "find") return std::to_string(findTag(data, u16(a), u16(b), test::fromHex(tag).at(0)));
      if (function == "consistent") return isTLVConsistent(data, u16(a), u16(b)) ? "true" : "false";
      if (function == "tagequal") return isTagEqual(data, u16(a), u16(b), array(test::fromHex(tag))) ? "true" : "false";
      if (function == "valuelength") return std::to_string(getValueLength(data, u16(a), u16(b)));
    } catch (const SystemException& e) {
      return e.getReason() == SystemException::INDEX_OUT_OF_BOUNDS ? "!index" : "!system";
    } catch (const InvalidArgumentsException&) {
      return "!invalid";
    } catch (const NotFoundException&) {
      return "!notfound";
    }
    return "unknown function " + function;
  }

  JCRuntimeImpl runtime;
};

TEST_F(UtilTLVTest, Vectors) {
  std::ifstream file(test::dataPath("gids/tlv-vectors.txt"));
  ASSERT_TRUE(file) << "no vector file";
  int cases = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '|');) {
      field.erase(0, field.find_first_not_of(' '));
      field.erase(field.find_last_not_of(' ') + 1);
      fields.push_back(field);
    }
    ASSERT_EQ(fields.size(), 4u) << line;
    std::istringstream args(fields[2]);
    EXPECT_EQ(run(fields[0], bytesOf(fields[1]), args), fields[3]) << line;
    ++cases;
  }
  EXPECT_GT(cases, 80);
}

}  // namespace
}  // namespace quillon

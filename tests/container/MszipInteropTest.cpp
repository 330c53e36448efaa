// The codec against independent MSZIP implementations: buffers we write are
// wrapped as cabinets and extracted by cabextract (libmspack, which carries
// history across blocks as we do), and cabinets that gcab compressed are
// unwrapped and decoded by us. Both tools come from scripts/install-deps.sh.
#include <gtest/gtest.h>

#include <fstream>

#include "CabinetFile.h"
#include "MszipSamples.h"
#include "TestData.h"
#include "container/CabinetCodec.h"
#include "container/MszipEncoder.h"

namespace quillon::container {
namespace {

using test::Bytes;

bool haveTool(const char* name) { return test::runCommand(std::string("command -v ") + name + " >/dev/null") == 0; }

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// What cabextract makes of our buffer, or empty with a test failure.
Bytes extractWithCabextract(const Bytes& buffer, const std::string& name) {
  const std::string dir = test::makeScratchDirectory(name);
  const std::string cab = dir + "/payload.cab";
  writeFile(cab, test::cabinetFromMszip(buffer, "payload.bin"));
  const int rc = test::runCommand("cabextract -q -d '" + dir + "/out' '" + cab + "' 2>&1");
  EXPECT_EQ(rc, 0) << "cabextract refused " << cab;
  return rc == 0 ? test::readFileBytes(dir + "/out/payload.bin") : Bytes{};
}

Bytes encode(const Bytes& input, std::size_t deflateBudget = MszipEncoder::kDeflateBudget) {
  MszipEncoder encoder(deflateBudget);
  Bytes buffer(MszipEncoder::bound(input.size()));
  std::size_t written = 0;
  EXPECT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), mszip::Error::kNone);
  buffer.resize(written);
  return buffer;
}

class MszipInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"cabextract", "gcab"})
      ASSERT_TRUE(haveTool(tool)) << tool << " is missing: scripts/install-deps.sh installs it";
  }
};

TEST_F(MszipInterop, CabextractReadsOurMultiChunkBuffers) {
  struct Case {
    const char* name;
    Bytes input;
  };
  const Bytes block = test::randomBytes(30000, 21);
  Bytes repeated;
  for (int i = 0; i < 4; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
  const Case cases[] = {
      {"text300000", test::xmlLikeText(300000, 21)},
      {"random100000", test::randomBytes(100000, 21)},
      {"text32769", test::xmlLikeText(32769, 22)},
      {"history", repeated},  // later chunks are little more than references into earlier ones
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(extractWithCabextract(encode(c.input), c.name), c.input);
  }
}

TEST_F(MszipInterop, CabextractReadsStoredChunks) {
  Bytes input = test::randomBytes(40000, 23);
  const Bytes text = test::xmlLikeText(50000, 23);
  input.insert(input.end(), text.begin(), text.end());
  EXPECT_EQ(extractWithCabextract(encode(input, 1000), "stored"), input);
}

TEST_F(MszipInterop, WeDecodeChunksThatGcabCompressed) {
  for (const auto& [name, input] :
       {std::pair{"text", test::xmlLikeText(150000, 25)}, std::pair{"random", test::randomBytes(70000, 25)}}) {
    SCOPED_TRACE(name);
    const std::string dir = test::makeScratchDirectory(std::string("gcab-") + name);
    writeFile(dir + "/input.bin", input);
    ASSERT_EQ(test::runCommand("cd '" + dir + "' && gcab -c -z made.cab input.bin"), 0);
    const Bytes buffer = test::mszipFromCabinet(test::readFileBytes(dir + "/made.cab"));
    ASSERT_FALSE(buffer.empty());

    ossl::SecureBytes out;
    ASSERT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.end()), input);
  }
}

}  // namespace
}  // namespace quillon::container

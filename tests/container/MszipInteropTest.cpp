// The codec against independent MSZIP implementations: buffers we write are
// wrapped as cabinets and extracted by cabextract (libmspack, which carries
// history across blocks as we do), and cabinets that gcab compressed are
// unwrapped and decoded by us. Both tools come from scripts/install-deps.sh.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "MszipTestSupport.h"
#include "container/CabinetCodec.h"
#include "container/MszipEncoder.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using test::Bytes;

int runCommand(const std::string& command) {
  const int rc = std::system(command.c_str());
  return rc != -1 && WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// A fresh empty directory under the test's temporary directory.
std::string scratchDirectory(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("quillon-mszip-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// What cabextract makes of the buffer we write for `input`, or empty with a test failure.
Bytes throughCabextract(const Bytes& input, const std::string& name,
                        std::size_t budget = MszipEncoder::kDeflateBudget) {
  MszipEncoder encoder(budget);
  Bytes buffer(MszipEncoder::bound(input.size()));
  std::size_t written = 0;
  EXPECT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), mszip::Error::kNone);
  buffer.resize(written);
  const std::string dir = scratchDirectory(name);
  writeFile(dir + "/payload.cab", test::cabinetFromMszip(buffer, "payload.bin"));
  const int rc = runCommand("cabextract -q -d '" + dir + "/out' '" + dir + "/payload.cab' 2>&1");
  EXPECT_EQ(rc, 0) << "cabextract refused " << dir << "/payload.cab";
  return rc == 0 ? test::readFileBytes(dir + "/out/payload.bin") : Bytes{};
}

class MszipInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"cabextract", "gcab"})
      ASSERT_EQ(runCommand(std::string("command -v ") + tool + " >/dev/null"), 0)
          << tool << " is missing: scripts/install-deps.sh installs it";
  }
};

TEST_F(MszipInterop, CabextractReadsOurMultiChunkAndStoredChunks) {
  const Bytes block = test::randomBytes(30000, 21);
  Bytes repeated;  // later chunks are little more than references into earlier ones
  for (int i = 0; i < 4; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
  Bytes mixed = test::randomBytes(40000, 23);
  const Bytes text = test::xmlLikeText(50000, 23);
  mixed.insert(mixed.end(), text.begin(), text.end());
  EXPECT_EQ(throughCabextract(test::xmlLikeText(300000, 21), "text"), test::xmlLikeText(300000, 21));
  EXPECT_EQ(throughCabextract(test::randomBytes(100000, 21), "random"), test::randomBytes(100000, 21));
  EXPECT_EQ(throughCabextract(repeated, "history"), repeated);
  EXPECT_EQ(throughCabextract(mixed, "stored", 1000), mixed);
}

TEST_F(MszipInterop, WeDecodeChunksThatGcabCompressed) {
  for (const auto& [name, input] :
       {std::pair{"text", test::xmlLikeText(150000, 25)}, std::pair{"random", test::randomBytes(70000, 25)}}) {
    SCOPED_TRACE(name);
    const std::string dir = scratchDirectory(std::string("gcab-") + name);
    writeFile(dir + "/input.bin", input);
    ASSERT_EQ(runCommand("cd '" + dir + "' && gcab -c -z made.cab input.bin"), 0);
    const Bytes buffer = test::mszipFromCabinet(test::readFileBytes(dir + "/made.cab"));
    ASSERT_FALSE(buffer.empty());
    ossl::SecureBytes out;
    ASSERT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.end()), input);
  }
}

}  // namespace
}  // namespace quillon::container

// The identity string and the device key derived from it.
#include <gtest/gtest.h>

#include "TestData.h"
#include "base/Hex.h"
#include "container/DeviceKey.h"
#include "support/CapturingSink.h"

namespace quillon::container {
namespace {

TEST(DeviceKey, EqualsHmacComputedByTheOpensslCommandLine) {
  const auto records = test::readVecFile("device-key.vec");
  ASSERT_EQ(records.size(), 4u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.at("Vendor") + ":" + r.at("Product") + ":" + r.at("Revision") + ":" + r.at("Serial"));
    std::uint8_t key[32];
    ASSERT_TRUE(DeriveDeviceKey(r.at("Serial").c_str(), r.at("Vendor").c_str(), r.at("Product").c_str(),
                                r.at("Revision").c_str(), key));
    EXPECT_EQ(hex::encode(key), r.at("Key"));
  }
}

TEST(BuildIdentityString, JoinsWithColonsAndKeepsEmptyFields) {
  std::string identity;
  ASSERT_TRUE(BuildIdentityString("ACME", "Pocket Drive", "1.00", "07AB", identity));
  EXPECT_EQ(identity, "ACME:Pocket Drive:1.00:07AB");
  ASSERT_TRUE(BuildIdentityString("ACME", "", "1.00", "", identity));
  EXPECT_EQ(identity, "ACME::1.00:");
  ASSERT_TRUE(BuildIdentityString("", "", "", "", identity));
  EXPECT_EQ(identity, ":::");
}

TEST(BuildIdentityString, TwoHundredFiftyNineCharactersFitAndOneMoreDoesNot) {
  const std::string f(64, 'x');
  const std::string g(65, 'x');
  std::string identity;
  ASSERT_TRUE(BuildIdentityString(f.c_str(), f.c_str(), f.c_str(), f.c_str(), identity));
  EXPECT_EQ(identity.size(), 259u);

  const char* fields[4];
  for (int longer = 0; longer < 4; ++longer) {
    for (int i = 0; i < 4; ++i) fields[i] = i == longer ? g.c_str() : f.c_str();
    identity = "stale";
    EXPECT_FALSE(BuildIdentityString(fields[0], fields[1], fields[2], fields[3], identity)) << longer;
    EXPECT_TRUE(identity.empty());
  }
  const std::string huge(100000, 'x');
  EXPECT_FALSE(BuildIdentityString(huge.c_str(), "", "", "", identity));
  EXPECT_FALSE(BuildIdentityString("a", nullptr, "c", "d", identity));
}

TEST(DeriveDeviceKey, OverflowLeavesTheKeyZeroedAndTraces) {
  const std::string f(64, 'x');
  const std::string g(65, 'x');
  std::uint8_t key[32];
  std::fill(std::begin(key), std::end(key), 0xAA);
  test::TraceCapture capture;
  EXPECT_FALSE(DeriveDeviceKey(g.c_str(), f.c_str(), f.c_str(), f.c_str(), key));
  EXPECT_TRUE(std::all_of(std::begin(key), std::end(key), [](std::uint8_t b) { return b == 0; }));
  const auto lines = capture.sink().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, trace::kError);
  EXPECT_EQ(lines[0].text.rfind("FilePersist::DeriveDeviceKey(", 0), 0u) << lines[0].text;
  EXPECT_NE(lines[0].text.find(" : DeriveDeviceKey: BuildIdentityString overflow"), std::string::npos);
}

}  // namespace
}  // namespace quillon::container

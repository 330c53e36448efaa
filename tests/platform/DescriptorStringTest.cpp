#include <gtest/gtest.h>

#include <string>

#include "platform/DescriptorString.h"

namespace quillon::platform {
namespace {

TEST(DescriptorString, TrailingBlanksGoLeadingAndInnerBlanksStay) {
  EXPECT_EQ(copyDescriptorString("ACME    "), "ACME");
  EXPECT_EQ(copyDescriptorString("ACME    \n"), "ACME");
  EXPECT_EQ(copyDescriptorString("  Pocket  Drive  \n"), "  Pocket  Drive");
  EXPECT_EQ(copyDescriptorString("        \n"), "");
  EXPECT_EQ(copyDescriptorString(""), "");
}

TEST(DescriptorString, StopsAtTheFirstByteOutsidePrintableAscii) {
  EXPECT_EQ(copyDescriptorString("AB\nCD"), "AB");
  EXPECT_EQ(copyDescriptorString(std::string("AB\0CD", 5)), "AB");
  EXPECT_EQ(copyDescriptorString("AB\177CD"), "AB");  // DEL
  EXPECT_EQ(copyDescriptorString("AB\037CD"), "AB");
  EXPECT_EQ(copyDescriptorString("Acm\xC3\xA9 Disk"), "Acm");  // UTF-8 is outside the range
  EXPECT_EQ(copyDescriptorString("~ !"), "~ !");               // both ends of the range are kept
  EXPECT_EQ(copyDescriptorString("ACME  \tX"), "ACME");        // blanks before the cut are trailing too
}

TEST(DescriptorString, CopiesAtMost259Characters) {
  const std::string longText(400, 'Q');
  EXPECT_EQ(copyDescriptorString(longText), std::string(259, 'Q'));
  EXPECT_EQ(copyDescriptorString(std::string(259, 'Q') + "\n"), std::string(259, 'Q'));
  // Blanks that end the 259-character window are trailing ones.
  EXPECT_EQ(copyDescriptorString(std::string(250, 'Q') + std::string(20, ' ') + "Z"), std::string(250, 'Q'));
}

}  // namespace
}  // namespace quillon::platform

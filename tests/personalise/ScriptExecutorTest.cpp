#include "personalise/ScriptExecutor.h"

#include <gtest/gtest.h>

#include "base/Hex.h"
#include "gids/GidsApplet.h"
#include "jc/JCRuntimeImpl.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

std::string scanned(const char* text) { return hex::encode(scanCommandText(text)); }

TEST(ScanCommandText, LenientRules) {
  EXPECT_EQ(scanned("00A4040409A0000003974254465900"), "00A4040409A0000003974254465900");
  EXPECT_EQ(scanned("00 A4 04 04 09 A0 00 00 03 97 42 54 46 59 00"), "00A4040409A0000003974254465900");
  EXPECT_EQ(scanned("db a0"), "DBA0");
  EXPECT_EQ(scanned("0 0A"), "00");  // a blank inside a byte; the lone A is dropped
  EXPECT_EQ(scanned("123"), "12");
  EXPECT_EQ(scanned("1G23"), "23");  // G after a high nibble discards it
  EXPECT_EQ(scanned("\t0\n1 zz 2\r3"), "0123");
  EXPECT_EQ(scanned(""), "");
  EXPECT_EQ(scanCommandText(std::string(600, 'A').c_str()).size(), kMaxScriptCommand);
}

TEST(Execute, ReturnsTheStatusWordAndTracesIt) {
  JCRuntimeImpl runtime;
  EXPECT_EQ(execute(runtime, "00A4000C023FFF"), 0u);  // no applet yet: transmit fails
  GidsApplet::install(runtime);
  test::TraceCapture capture(trace::kVerbose);
  EXPECT_EQ(execute(runtime, "00A4040409A0000003974254465900"), 0x9000u);
  EXPECT_EQ(execute(runtime, "00A4000C02A000"), 0x6A82u);
  EXPECT_EQ(execute(runtime, ""), 0x6D00u);  // an empty command is still sent
  EXPECT_EQ(capture.sink().count("execute: APDU returned SW=0x9000 (OK)"), 1u);
  EXPECT_EQ(capture.sink().count("execute: APDU returned SW=0x6A82"), 1u);
  EXPECT_EQ(capture.sink().count("execute: transmit 00A4000C02A000"), 1u);
}

TEST(Execute, SecretsStayOutOfTheTrace) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  test::TraceCapture capture(trace::kVerbose);
  EXPECT_EQ(execute(runtime, "002401800439383736", true), 0x9000u);
  EXPECT_EQ(capture.sink().count("39383736"), 0u);
  EXPECT_EQ(capture.sink().count("execute: transmit 0024018004<hidden>"), 1u);
}

}  // namespace
}  // namespace quillon

// The pcsc-lite entry points called as pcscd calls them, outside pcscd: the
// requests and what each must answer are a data file (reader/ifd-handler.txt).
extern "C" {
#include <ifdhandler.h>
}

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "support/StickWorld.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr DWORD kLun = 0x30000;  // reader 3, slot 0

const std::map<std::string, RESPONSECODE> kCodes = {{"ok", IFD_SUCCESS},
                                                    {"error", IFD_COMMUNICATION_ERROR},
                                                    {"buffer", IFD_ERROR_INSUFFICIENT_BUFFER},
                                                    {"tag", IFD_ERROR_TAG},
                                                    {"present", IFD_ICC_PRESENT},
                                                    {"absent", IFD_ICC_NOT_PRESENT},
                                                    {"unsupported", IFD_ERROR_NOT_SUPPORTED},
                                                    {"notsupported", IFD_NOT_SUPPORTED},
                                                    {"protocol", IFD_PROTOCOL_NOT_SUPPORTED}};

DWORD number(const std::string& text) { return static_cast<DWORD>(std::stoul(text, nullptr, 0)); }

TEST(IfdHandlerTest, EveryEntryPointAnswersAsTheDataFileSays) {
  StickWorld world;
  world.createCard();
  const reader::ReaderConfig c = world.config();
  std::string name = "quillon:state=" + c.statePath + ":proc=" + c.procRoot + ":sys=" + c.sysRoot;
  ASSERT_EQ(IFDHCreateChannelByName(kLun, name.data()), IFD_SUCCESS);
  const Bytes volume = platform::encodeDevicePath(world.devicePath());

  std::ifstream in(dataPath("reader/ifd-handler.txt"));
  std::string line;
  int steps = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string verb, a, b, c1, d;
    if (!(words >> verb) || verb[0] == '#') continue;
    words >> a >> b >> c1 >> d;
    SCOPED_TRACE(line);
    ++steps;
    Bytes buffer(65548, 0xEE);
    DWORD length = 0;
    RESPONSECODE rc = IFD_SUCCESS;
    std::string expected = "-", code;
    if (verb == "open") {
      rc = IFDHCreateChannelByName(number(a), b.data()), code = c1;
    } else if (verb == "close") {
      rc = IFDHCloseChannel(number(a)), code = b;
    } else if (verb == "presence") {
      rc = IFDHICCPresence(number(a)), code = b;
    } else if (verb == "protocol") {
      rc = IFDHSetProtocolParameters(kLun, number(a), 0, 0, 0, 0), code = b;
    } else if (verb == "capability") {
      length = number(b);
      rc = IFDHGetCapabilities(kLun, number(a), &length, buffer.data()), code = c1, expected = d;
      if (rc != IFD_SUCCESS) length = 0;  // pcscd reads no value then
      if (d == "*") {                     // any function pointer
        EXPECT_EQ(length, sizeof(void*));
        expected = toHex(Bytes(buffer.begin(), buffer.begin() + length));
      }
    } else if (verb == "power") {
      rc = IFDHPowerICC(kLun, number(a), buffer.data(), &length), code = b, expected = c1;
    } else if (verb == "transmit") {
      const Bytes command = fromHex(a);
      length = number(b);
      rc = IFDHTransmitToICC(kLun, {SCARD_PROTOCOL_T1, 0}, const_cast<UCHAR*>(command.data()),
                             static_cast<DWORD>(command.size()), buffer.data(), &length, nullptr);
      code = c1, expected = d;
    } else if (verb == "control") {
      std::string answer;
      words >> answer;
      const Bytes input = b == "volume" ? volume : b == "-" ? Bytes{} : fromHex(b);
      length = 99;
      rc = IFDHControl(kLun, number(a), const_cast<UCHAR*>(input.empty() ? nullptr : input.data()),
                       static_cast<DWORD>(input.size()), buffer.data(), number(c1), &length);
      code = d, expected = answer == "volume" ? toHex(volume) : answer;
    } else {
      FAIL() << "unknown step";
    }
    EXPECT_EQ(rc, kCodes.at(code));
    EXPECT_EQ(length == 0 ? "-" : toHex(Bytes(buffer.begin(), buffer.begin() + length)), expected);
  }
  EXPECT_EQ(steps, 46);  // the whole file was run
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
}

}  // namespace
}  // namespace quillon::test

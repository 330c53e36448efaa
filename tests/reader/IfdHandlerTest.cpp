// The pcsc-lite entry points called as pcscd calls them, outside pcscd: one
// channel on a fixture stick, each request with its expected code and answer.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <gtest/gtest.h>

#include <cstring>

#include "StickWorld.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr DWORD kLun = 0x00030000;  // reader 3, slot 0

class IfdHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.createCard();
    const reader::ReaderConfig c = world.config();
    std::string name = "quillon:state=" + c.statePath + ":proc=" + c.procRoot + ":sys=" + c.sysRoot;
    ASSERT_EQ(IFDHCreateChannelByName(kLun, name.data()), IFD_SUCCESS);
  }
  void TearDown() override { EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS); }

  // IFDHControl into a buffer of `capacity` bytes; `answer` gets what it returned.
  RESPONSECODE control(DWORD code, Bytes input, DWORD capacity, Bytes& answer) {
    answer.assign(capacity, 0xEE);
    DWORD returned = 99;
    const RESPONSECODE rc = IFDHControl(kLun, code, input.empty() ? nullptr : input.data(),
                                        static_cast<DWORD>(input.size()), answer.data(), capacity, &returned);
    answer.resize(returned);
    return rc;
  }

  StickWorld world;
};

TEST_F(IfdHandlerTest, ChannelsCapabilitiesPowerAndTransmit) {
  char bad[] = "quillon:state=relative";
  EXPECT_EQ(IFDHCreateChannelByName(0x00040000, bad), IFD_COMMUNICATION_ERROR);
  char good[] = "quillon";
  EXPECT_EQ(IFDHCreateChannelByName(kLun, good), IFD_COMMUNICATION_ERROR);      // already open
  EXPECT_EQ(IFDHCreateChannelByName(kLun | 1, good), IFD_COMMUNICATION_ERROR);  // one slot only
  EXPECT_EQ(IFDHICCPresence(0x00050000), IFD_COMMUNICATION_ERROR);              // no such channel
  EXPECT_EQ(IFDHCloseChannel(0x00050000), IFD_COMMUNICATION_ERROR);

  const struct {
    DWORD tag;
    DWORD capacity;
    RESPONSECODE rc;
    const char* value;  // hex; "*" for a function pointer
  } caps[] = {
      {TAG_IFD_SIMULTANEOUS_ACCESS, 1, IFD_SUCCESS, "10"},
      {TAG_IFD_THREAD_SAFE, 1, IFD_SUCCESS, "01"},
      {TAG_IFD_SLOTS_NUMBER, 1, IFD_SUCCESS, "01"},
      {TAG_IFD_SLOT_THREAD_SAFE, 1, IFD_SUCCESS, "00"},
      {TAG_IFD_POLLING_THREAD_KILLABLE, 1, IFD_SUCCESS, "00"},
      {TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, 8, IFD_SUCCESS, "*"},
      {TAG_IFD_STOP_POLLING_THREAD, 8, IFD_SUCCESS, "*"},
      {TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, 4, IFD_ERROR_INSUFFICIENT_BUFFER, ""},
      {SCARD_ATTR_VENDOR_NAME, 64, IFD_SUCCESS, "4272696E646C65776F727468"},  // "Brindleworth"
      {SCARD_ATTR_VENDOR_NAME, 11, IFD_ERROR_INSUFFICIENT_BUFFER, ""},
      {TAG_IFD_ATR, 33, IFD_SUCCESS, ""},  // not powered: none
      {0x0FFF, 64, IFD_ERROR_TAG, ""},
  };
  for (const auto& c : caps) {
    Bytes value(64, 0xEE);
    DWORD length = c.capacity;
    ASSERT_EQ(IFDHGetCapabilities(kLun, c.tag, &length, value.data()), c.rc) << std::hex << c.tag;
    if (c.rc != IFD_SUCCESS) continue;
    if (std::string(c.value) == "*") {
      EXPECT_EQ(length, sizeof(void*));
      EXPECT_NE(std::memcmp(value.data(), Bytes(sizeof(void*), 0).data(), sizeof(void*)), 0);
    } else {
      EXPECT_EQ(toHex(Bytes(value.begin(), value.begin() + length)), c.value) << std::hex << c.tag;
    }
  }
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_PROTOCOL_NOT_SUPPORTED);

  // The stick was mounted before the channel opened: its card is there.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  UCHAR atr[MAX_ATR_SIZE];
  DWORD atrLength = 0;
  ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &atrLength), IFD_SUCCESS);
  // TS 3B; T0 87: TD1 and seven historical bytes; TD1 01: T=1; "Quillon"; TCK CA.
  EXPECT_EQ(toHex(Bytes(atr, atr + atrLength)), "3B87015175696C6C6F6ECA");
  Bytes value(64);
  DWORD length = 64;
  ASSERT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_ATR_STRING, &length, value.data()), IFD_SUCCESS);
  EXPECT_EQ(toHex(Bytes(value.begin(), value.begin() + length)), "3B87015175696C6C6F6ECA");
  EXPECT_EQ(IFDHPowerICC(kLun, 99, atr, &atrLength), IFD_NOT_SUPPORTED);

  const struct {
    const char* command;
    DWORD capacity;
    RESPONSECODE rc;
    const char* answer;
  } exchanges[] = {
      {"00A4040009A0000003974254465900", 258, IFD_SUCCESS, "61124F0BA00000039742544659020173034001C09000"},
      {"0020008000", 2, IFD_SUCCESS, "63C3"},
      {"0020008000", 1, IFD_ERROR_INSUFFICIENT_BUFFER, ""},
      {"00A4040007A0000003080000", 65548, IFD_SUCCESS, "6A82"},
  };
  for (const auto& e : exchanges) {
    Bytes command = fromHex(e.command), response(e.capacity);
    DWORD rxLength = e.capacity;
    SCARD_IO_HEADER pci{SCARD_PROTOCOL_T1, 0};
    EXPECT_EQ(IFDHTransmitToICC(kLun, pci, command.data(), static_cast<DWORD>(command.size()), response.data(),
                                &rxLength, &pci),
              e.rc)
        << e.command;
    EXPECT_EQ(toHex(Bytes(response.begin(), response.begin() + rxLength)), e.answer) << e.command;
  }
  ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, atr, &atrLength), IFD_SUCCESS);
  EXPECT_EQ(atrLength, 0u);
  DWORD rx = 258;
  UCHAR select[] = {0x00, 0xA4, 0x04, 0x00};
  Bytes response(258);
  EXPECT_EQ(IFDHTransmitToICC(kLun, {SCARD_PROTOCOL_T1, 0}, select, 4, response.data(), &rx, nullptr),
            IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdHandlerTest, ControlCodes) {
  const Bytes volume = StickWorld::swallowInput(world.devicePath());
  const auto size = static_cast<DWORD>(volume.size());
  const struct {
    DWORD code;
    Bytes input;
    DWORD capacity;
    RESPONSECODE rc;
    bool volumeAnswered;
  } steps[] = {
      {0x00312000, {}, 65548, IFD_SUCCESS, true},  // GET VOLUME: the card taken at channel open
      {0x00312000, {}, size - 1, IFD_ERROR_INSUFFICIENT_BUFFER, false},
      {0x00312000, {}, size, IFD_SUCCESS, true},
      {0x00312000, {0, 0}, 65548, IFD_COMMUNICATION_ERROR, false},
      {0x42000D48, {}, 65548, IFD_SUCCESS, false},  // the feature request: an empty list
      {0x00310020, {}, 65548, IFD_ERROR_NOT_SUPPORTED, false},
      {0x42000001, {}, 65548, IFD_ERROR_NOT_SUPPORTED, false},
      {0x00310018, {1, 2}, 65548, IFD_COMMUNICATION_ERROR, false},  // EJECT takes no input
      {0x00310018, {}, 65548, IFD_SUCCESS, false},
      {0x00312000, {}, 65548, IFD_SUCCESS, false},  // none served
      {0x0031001C, {'/', 0, 'x', 0, 0, 0}, 0, IFD_COMMUNICATION_ERROR, false},
      {0x0031001C, volume, 0, IFD_SUCCESS, false},  // SWALLOW
      {0x00312000, {}, 65548, IFD_SUCCESS, true},
  };
  for (const auto& s : steps) {
    Bytes answer;
    EXPECT_EQ(control(s.code, s.input, s.capacity, answer), s.rc) << std::hex << s.code << " " << s.capacity;
    EXPECT_EQ(answer, s.volumeAnswered ? volume : Bytes{}) << std::hex << s.code << " " << s.capacity;
  }
  // EJECT: reported absent at the next poll.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  Bytes answer;
  ASSERT_EQ(control(0x00310018, {}, 0, answer), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
}

}  // namespace
}  // namespace quillon::test

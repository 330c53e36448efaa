// Shorthands for driving a VirtualReader the way pcscd does: power-up with an ATR
// buffer, one APDU as hex text with the answer split into data and status word.
#pragma once

#include <cstdint>
#include <string>

#include "reader/VirtualReader.h"

namespace quillon::test {

struct Answer {
  RESPONSECODE rc = IFD_COMMUNICATION_ERROR;
  std::string data;  // upper-case hex
  std::uint16_t sw = 0;
};

Answer send(reader::VirtualReader& reader, const std::string& hex);
std::uint16_t sw(reader::VirtualReader& reader, const std::string& hex);
RESPONSECODE powerUp(reader::VirtualReader& reader);

}  // namespace quillon::test

#include "ReaderCalls.h"

#include <array>

#include "StickWorld.h"
#include "base/Hex.h"

namespace quillon::test {

Answer send(reader::VirtualReader& reader, const std::string& hex) {
  const std::vector<std::uint8_t> command = bytes(hex);
  std::array<std::uint8_t, 65548> response{};  // what pcscd offers
  std::size_t length = 0;
  Answer answer;
  answer.rc = reader.transmit(command, response, length);
  if (answer.rc == IFD_SUCCESS && length >= 2) {
    answer.data = hex::encode({response.data(), length - 2});
    answer.sw = static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
  }
  return answer;
}

std::uint16_t sw(reader::VirtualReader& reader, const std::string& hex) { return send(reader, hex).sw; }

RESPONSECODE powerUp(reader::VirtualReader& reader) {
  std::array<std::uint8_t, 33> atr{};
  std::size_t length = 0;
  return reader.powerUp(atr, length);
}

}  // namespace quillon::test

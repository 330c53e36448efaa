// The command/response object an applet sees for one command: a 512-byte command
// buffer holding the command in short form (CLA INS P1 P2 Lc data Le) and at most
// 256 bytes of outgoing data.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon {

class APDU {
 public:
  static constexpr std::uint16_t kBufferSize = 512;
  static constexpr std::uint16_t kMaxOutgoing = 256;

  virtual ~APDU() = default;
  virtual ByteArray& getBuffer() = 0;
  // Stores and returns Lc, the byte at offset 4.
  virtual std::uint16_t setIncomingAndReceive() = 0;
  // 0: the whole command is already in the buffer.
  virtual std::uint16_t receiveBytes(std::uint16_t offset) = 0;
  // The Le byte that follows the command data (0 when the command has none).
  virtual std::uint16_t setOutgoing() = 0;
  virtual void setOutgoingLength(std::uint16_t length) = 0;
  // Append command-buffer bytes, or bytes of another array, to the response.
  virtual void sendBytes(std::uint16_t offset, std::uint16_t length) = 0;
  virtual void sendBytesLong(const ByteArray& source, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setOutgoingAndSend(std::uint16_t offset, std::uint16_t length) = 0;
  virtual std::uint8_t getProtocol() = 0;
};

}  // namespace quillon

#include <cstring>

#include "jc/ISO7816.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon {

namespace {
constexpr std::uint16_t kOutgoingBufferSize = 258;
}

JCRuntimeImpl::APDUImpl::APDUImpl(ISmartCardMemory& memory)
    : buffer_(kBufferSize, memory, JC_HERE("JCRuntimeImpl::APDUImpl::APDUImpl")),
      outgoing_(kOutgoingBufferSize, memory, JC_HERE("JCRuntimeImpl::APDUImpl::APDUImpl")) {}

JCRuntimeImpl::APDUImpl::~APDUImpl() {
  buffer_.zero(0, buffer_.length());
  outgoing_.zero(0, outgoing_.length());
}

void JCRuntimeImpl::APDUImpl::load(const std::uint8_t* command, std::uint16_t length, std::uint8_t protocol) {
  buffer_.zero(0, buffer_.length());
  outgoingLength_ = 0;
  incomingLength_ = 0;
  if (length > 0) std::memcpy(buffer_.data(), command, length);
  protocol_ = protocol;
}

std::uint16_t JCRuntimeImpl::APDUImpl::setIncomingAndReceive() {
  incomingLength_ = buffer_[ISO7816::OFFSET_LC];
  return incomingLength_;
}

std::uint16_t JCRuntimeImpl::APDUImpl::receiveBytes(std::uint16_t /*offset*/) { return 0; }

std::uint16_t JCRuntimeImpl::APDUImpl::setOutgoing() {
  return buffer_[ISO7816::OFFSET_CDATA + std::uint32_t{incomingLength_}];
}

void JCRuntimeImpl::APDUImpl::setOutgoingLength(std::uint16_t /*length*/) {}

void JCRuntimeImpl::APDUImpl::sendBytesLong(const ByteArray& source, std::uint16_t offset, std::uint16_t length) {
  source.checkRange(offset, length);
  if (std::uint32_t{outgoingLength_} + length > kMaxOutgoing) SystemException::throwIt(SystemException::NO_RESOURCE);
  if (length > 0) std::memcpy(outgoing_.data() + outgoingLength_, source.data() + offset, length);
  outgoingLength_ = static_cast<std::uint16_t>(outgoingLength_ + length);
}

void JCRuntimeImpl::APDUImpl::sendBytes(std::uint16_t offset, std::uint16_t length) {
  sendBytesLong(buffer_, offset, length);
}

void JCRuntimeImpl::APDUImpl::setOutgoingAndSend(std::uint16_t offset, std::uint16_t length) {
  sendBytes(offset, length);
}

}  // namespace quillon

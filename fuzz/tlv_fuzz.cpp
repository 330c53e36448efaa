// The BER-TLV helpers that every command parser of the card uses, over hostile
// bytes: the first four input bytes choose a tag, an offset, a length and a
// limit, the rest is the buffer. An answer, a bounds error (SystemException) or
// one of the helpers' own exceptions is fine; a crash, a hang or undefined
// behaviour is not. The same form as a seed: tag, offset, length, Lc (the limit
// is 5 + Lc), then a command APDU or any BER-TLV data.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gids/UtilTLV.h"
#include "jc/Exceptions.h"
#include "runtime/JCRuntimeImpl.h"

using namespace quillon;

namespace {

// Runs one helper; the exceptions it is allowed to raise end only that call.
template <class Call>
void attempt(Call call) {
  try {
    call();
  } catch (const SystemException&) {
  } catch (const JavaCardRuntimeException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4 || size - 4 > 0xFFFF) return 0;
  // One runtime for every input: only its memory is used, and each array goes
  // back to it at the end of the run.
  static JCRuntimeImpl runtime;
  const std::uint8_t tag = data[0];
  const std::uint16_t offset = data[1];
  const std::uint16_t length = data[2];
  const auto limit = static_cast<std::uint16_t>(5 + data[3]);
  const auto n = static_cast<std::uint16_t>(size - 4);
  ByteArray buffer(n, runtime.persistentMemory(), JC_HERE("tlv_fuzz"));
  if (n > 0) std::memcpy(buffer.data(), data + 4, n);
  ByteArray storedTag(2, runtime.persistentMemory(), JC_HERE("tlv_fuzz"));
  storedTag[0] = tag;
  storedTag[1] = data[1];

  attempt([&] { UtilTLV::findTag(buffer, offset, length, tag); });
  attempt([&] { UtilTLV::isTLVConsistent(buffer, offset, length); });
  attempt([&] { UtilTLV::isTLVConsistent(buffer, 0, n); });
  attempt([&] { UtilTLV::decodeLengthField(buffer, offset); });
  attempt([&] { UtilTLV::getLengthFieldLength(buffer, offset); });
  attempt([&] { UtilTLV::getCommandDataObjectSize(buffer, limit); });
  attempt([&] { UtilTLV::isTagEqual(buffer, offset, static_cast<std::uint16_t>(offset + length), storedTag); });
  attempt([&] { UtilTLV::getValueLength(buffer, offset, static_cast<std::uint16_t>(offset + length)); });
  return 0;
}

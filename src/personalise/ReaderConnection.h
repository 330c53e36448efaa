// One connection to the virtual reader through PC/SC: the context, the reader
// list, the first reader named "Brindleworth...", the card handle (direct, for
// control requests, or shared, for commands to the card) and a transaction.
// Whatever was acquired is given back when the object goes, in this order:
// reader list freed, an open transaction ended with the card reset, card left as
// it is, context released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/OpenSsl.h"
#include "personalise/PcscApi.h"

namespace quillon {

class ReaderConnection {
 public:
  // The standard smart-card control codes, SCARD_CTL_CODE(n) = 0x00310000 + 4n.
  static constexpr pcsc::Dword kEject = 0x00310018;    // n = 6
  static constexpr pcsc::Dword kSwallow = 0x0031001C;  // n = 7
  // Ours, the first vendor code (n = 2048): the reader answers the device path of
  // the volume it serves, UTF-16LE with its NUL as SWALLOW takes it, or nothing.
  static constexpr pcsc::Dword kGetVolume = 0x00312000;

  explicit ReaderConnection(const PcscApi& api) noexcept : api_(api) {}
  ~ReaderConnection();
  ReaderConnection(const ReaderConnection&) = delete;
  ReaderConnection& operator=(const ReaderConnection&) = delete;

  // Each returns the PC/SC status as a 32-bit code (0 on success).
  std::uint32_t establishContext();  // user scope
  std::uint32_t listReaders();       // all groups, allocated by PC/SC
  // The first listed reader whose name begins with "Brindleworth", or null.
  const char* findVirtualReader() const noexcept;
  std::uint32_t connect(const char* reader);        // direct mode, no protocol
  std::uint32_t connectShared(const char* reader);  // shared with other programs, T=1
  // A control request; its answer (at most kMaxControlAnswer bytes) in `output`
  // when given, which is empty on failure.
  std::uint32_t control(pcsc::Dword code, const void* input = nullptr, std::size_t length = 0,
                        std::vector<std::uint8_t>* output = nullptr);
  static constexpr std::size_t kMaxControlAnswer = 8192;

  // The reader's state flags (pcsc::kStatePresent, ...) as they are now.
  std::uint32_t readerState(const char* reader, pcsc::Dword& state);
  // A transaction on the shared card. However it ends (endTransaction or the
  // destructor), the card is reset: nothing verified in it stays open to others.
  std::uint32_t beginTransaction();
  std::uint32_t endTransaction();
  // One command APDU; the answer with its status word in `response`.
  std::uint32_t transmit(std::span<const std::uint8_t> command, ossl::SecureBytes& response);

 private:
  std::uint32_t connectWith(const char* reader, pcsc::Dword shareMode, pcsc::Dword protocols);
  const PcscApi& api_;
  pcsc::Context context_ = 0;
  bool hasContext_ = false;
  char* readers_ = nullptr;
  pcsc::Dword readersLength_ = 0;
  pcsc::Handle card_ = 0;
  bool connected_ = false;
  pcsc::Dword protocol_ = 0;
  bool inTransaction_ = false;
};

}  // namespace quillon

#include "personalise/ReaderConnection.h"

#include <cstring>
#include <limits>

#include "base/Status.h"

namespace quillon {

namespace {

constexpr char kMaker[] = "Brindleworth";
constexpr std::size_t kMakerLength = sizeof kMaker - 1;

std::uint32_t code(pcsc::Long rv) noexcept { return static_cast<std::uint32_t>(rv); }

}  // namespace

ReaderConnection::~ReaderConnection() {
  if (readers_ != nullptr) api_.freeMemory(context_, readers_);
  if (inTransaction_) api_.endTransaction(card_, pcsc::kResetCard);
  if (connected_) api_.disconnect(card_, pcsc::kLeaveCard);
  if (hasContext_) api_.releaseContext(context_);
}

std::uint32_t ReaderConnection::establishContext() {
  pcsc::Context context = 0;
  const pcsc::Long rv = api_.establishContext(pcsc::kScopeUser, nullptr, nullptr, &context);
  if (rv == pcsc::kSuccess) {
    context_ = context;
    hasContext_ = true;
  }
  return code(rv);
}

std::uint32_t ReaderConnection::listReaders() {
  char* readers = nullptr;
  pcsc::Dword length = pcsc::kAutoAllocate;
  const pcsc::Long rv = api_.listReaders(context_, nullptr, reinterpret_cast<char*>(&readers), &length);
  if (rv != pcsc::kSuccess) return code(rv);
  readers_ = readers;
  readersLength_ = readers != nullptr ? length : 0;
  return 0;
}

const char* ReaderConnection::findVirtualReader() const noexcept {
  // The multi-string is walked within the length PC/SC reported: a name must be
  // terminated inside it to be used at all.
  std::size_t pos = 0;
  while (pos < readersLength_) {
    const char* name = readers_ + pos;
    const std::size_t room = readersLength_ - pos;
    const std::size_t length = ::strnlen(name, room);
    if (length == 0 || length == room) break;
    if (length >= kMakerLength && std::memcmp(name, kMaker, kMakerLength) == 0) return name;
    pos += length + 1;
  }
  return nullptr;
}

std::uint32_t ReaderConnection::connect(const char* reader) {
  return connectWith(reader, pcsc::kShareDirect, pcsc::kProtocolUndefined);
}

std::uint32_t ReaderConnection::connectShared(const char* reader) {
  return connectWith(reader, pcsc::kShareShared, pcsc::kProtocolT1);
}

std::uint32_t ReaderConnection::connectWith(const char* reader, pcsc::Dword shareMode, pcsc::Dword protocols) {
  pcsc::Handle card = 0;
  pcsc::Dword protocol = 0;
  const pcsc::Long rv = api_.connect(context_, reader, shareMode, protocols, &card, &protocol);
  if (rv == pcsc::kSuccess) {
    card_ = card;
    connected_ = true;
    protocol_ = protocol;
  }
  return code(rv);
}

std::uint32_t ReaderConnection::control(pcsc::Dword controlCode, const void* input, std::size_t length,
                                        std::vector<std::uint8_t>* output) {
  if (length > std::numeric_limits<std::uint32_t>::max()) return status::SCARD_E_INVALID_PARAMETER;
  pcsc::Dword returned = 0;
  if (output == nullptr)
    return code(api_.control(card_, controlCode, input, static_cast<pcsc::Dword>(length), nullptr, 0, &returned));
  output->assign(kMaxControlAnswer, 0);
  const pcsc::Long rv = api_.control(card_, controlCode, input, static_cast<pcsc::Dword>(length), output->data(),
                                     static_cast<pcsc::Dword>(output->size()), &returned);
  // A count beyond the buffer is the service's mistake, not bytes to read.
  if (rv != pcsc::kSuccess || returned > output->size()) {
    output->clear();
    return rv != pcsc::kSuccess ? code(rv) : status::SCARD_E_INSUFFICIENT_BUFFER;
  }
  output->resize(returned);
  return 0;
}

std::uint32_t ReaderConnection::readerState(const char* reader, pcsc::Dword& state) {
  state = 0;
  return code(api_.getStatusChange(context_, 0, reader, pcsc::kStateUnaware, &state));
}

std::uint32_t ReaderConnection::beginTransaction() {
  const pcsc::Long rv = api_.beginTransaction(card_);
  if (rv == pcsc::kSuccess) inTransaction_ = true;
  return code(rv);
}

std::uint32_t ReaderConnection::endTransaction() {
  if (!inTransaction_) return 0;
  inTransaction_ = false;
  return code(api_.endTransaction(card_, pcsc::kResetCard));
}

std::uint32_t ReaderConnection::transmit(std::span<const std::uint8_t> command, ossl::SecureBytes& response) {
  // The longest answer an extended APDU can have: the card's short answers fit.
  constexpr std::size_t kMaxAnswer = 65536 + 2;
  if (command.size() > std::numeric_limits<std::uint32_t>::max()) return status::SCARD_E_INVALID_PARAMETER;
  response.assign(kMaxAnswer, 0);
  pcsc::Dword length = static_cast<pcsc::Dword>(response.size());
  const pcsc::Long rv = api_.transmit(card_, protocol_, command.data(), static_cast<pcsc::Dword>(command.size()),
                                      response.data(), &length);
  if (rv != pcsc::kSuccess || length > response.size()) {
    response.clear();
    return rv != pcsc::kSuccess ? code(rv) : status::SCARD_E_INSUFFICIENT_BUFFER;
  }
  response.resize(length);
  return 0;
}

}  // namespace quillon

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
  pcsc::Handle card = 0;
  pcsc::Dword protocol = 0;
  const pcsc::Long rv = api_.connect(context_, reader, pcsc::kShareDirect, pcsc::kProtocolUndefined, &card, &protocol);
  if (rv == pcsc::kSuccess) {
    card_ = card;
    connected_ = true;
  }
  return code(rv);
}

std::uint32_t ReaderConnection::control(pcsc::Dword controlCode, const void* input, std::size_t length) {
  if (length > std::numeric_limits<std::uint32_t>::max()) return status::SCARD_E_INVALID_PARAMETER;
  pcsc::Dword returned = 0;
  return code(api_.control(card_, controlCode, input, static_cast<pcsc::Dword>(length), nullptr, 0, &returned));
}

}  // namespace quillon

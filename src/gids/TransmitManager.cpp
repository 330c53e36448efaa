#include "gids/TransmitManager.h"

#include <algorithm>

#include "gids/Record.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Util.h"

namespace quillon {

namespace {
constexpr std::uint8_t INS_PERFORM_SECURITY_OPERATION = 0x2A;
constexpr std::uint8_t INS_GENERATE_ASYMMETRIC_KEYPAIR = 0x47;
constexpr std::uint8_t INS_GET_RESPONSE = 0xC0;
constexpr std::uint8_t INS_PUT_DATA = 0xDB;
constexpr std::uint16_t kRecordBatch = 512;
}  // namespace

TransmitManager::TransmitManager(IJCRuntime& rt) : runtime(rt) { makeTransientState(); }

void TransmitManager::makeTransientState() {
  ramBuffer = runtime.makeTransientByteArray(kRamBufferSize, CLEAR_ON_RESET);
  chainingState = runtime.makeTransientShortArray(6, CLEAR_ON_RESET);
  chainingObjects = runtime.makeTransientObjectArray(2, CLEAR_ON_RESET);
}

TransmitManager::~TransmitManager() { clearFlashBuffer(); }

bool TransmitManager::isCommandChainingCLA(APDU& apdu) { return (apdu.getBuffer()[ISO7816::OFFSET_CLA] & 0x10) != 0; }

void TransmitManager::processChainInitialization(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t ins = buffer[ISO7816::OFFSET_INS];
  const bool chained = isCommandChainingCLA(apdu);

  if (chainingState[CHAIN_INS] != 0 || chained) {
    const std::uint16_t p1p2 = Util::getShort(buffer, ISO7816::OFFSET_P1);
    if (ins != INS_PERFORM_SECURITY_OPERATION && ins != INS_GENERATE_ASYMMETRIC_KEYPAIR && ins != INS_PUT_DATA)
      ISOException::throwIt(ISO7816::SW_COMMAND_CHAINING_NOT_SUPPORTED);
    if (chainingState[CHAIN_INS] == 0 && chainingState[CHAIN_P1P2] == 0) {
      if (ins == 0) ISOException::throwIt(ISO7816::SW_INS_NOT_SUPPORTED);
      chainingState[CHAIN_INS] = ins;
      chainingState[CHAIN_P1P2] = p1p2;
    } else {
      if (ins != chainingState[CHAIN_INS] || p1p2 != chainingState[CHAIN_P1P2])
        ISOException::throwIt(ISO7816::SW_COMMAND_NOT_ALLOWED_NO_INFO);
      if (!chained) {
        chainingState[CHAIN_INS] = 0;
        chainingState[CHAIN_P1P2] = 0;
      }
    }
  }

  // A pending answer survives only until the next command that is not GET
  // RESPONSE. That holds for record answers too: they point into files that a
  // later command may change or delete.
  if (chainingState[REMAINING] > 0 || chainingObjects[ANSWER_SOURCE] != nullptr) {
    if (ins == INS_GET_RESPONSE) {
      clearPutDataState();
      return;
    }
    clearState(true);
  }
  if (ins != INS_PUT_DATA) clearPutDataState();
}

void TransmitManager::abortChain() {
  chainingState[OFFSET] = 0;
  chainingState[CHAIN_INS] = 0;
  chainingState[CHAIN_P1P2] = 0;
}

std::uint16_t TransmitManager::doChainingOrExtAPDU(APDU& apdu, ByteArray& target, std::uint16_t maximum) {
  std::uint16_t n = apdu.setIncomingAndReceive();
  while (n > 0) {
    const std::uint16_t position = chainingState[OFFSET];
    if (std::uint32_t{position} + n > maximum) {
      abortChain();  // the chain cannot complete; do not refuse everything after it
      ISOException::throwIt(ISO7816::SW_FILE_FULL);
    }
    Util::arrayCopy(apdu.getBuffer(), ISO7816::OFFSET_CDATA, target, position, n);
    chainingState[OFFSET] = static_cast<std::uint16_t>(position + n);
    n = apdu.receiveBytes(ISO7816::OFFSET_CDATA);
  }
  if (isCommandChainingCLA(apdu)) ISOException::throwIt(ISO7816::SW_NO_ERROR);
  const std::uint16_t total = chainingState[OFFSET];
  chainingState[OFFSET] = 0;
  return total;
}

std::uint16_t TransmitManager::doChainingOrExtAPDUFlash(APDU& apdu) {
  if (flashBuffer.empty()) {
    try {
      // Chained input, no part of the stored card.
      flashBuffer = ByteArray(kFlashBufferSize, runtime.workingMemory(),
                              SourceLocation{"GIDSApplet\\TransmitManager", "TransmitManager::doChainingOrExtAPDUFlash",
                                             static_cast<std::uint32_t>(__LINE__)});
    } catch (const SystemException& e) {
      ISOException::throwIt(e.getReason() == SystemException::NO_RESOURCE ? ISO7816::SW_FILE_FULL
                                                                          : ISO7816::SW_UNKNOWN);
    }
  }
  return doChainingOrExtAPDU(apdu, flashBuffer, kFlashBufferSize);
}

void TransmitManager::clearFlashBuffer() {
  if (flashBuffer.empty()) return;
  flashBuffer.zero(0, flashBuffer.length());  // it held key material
  if (runtime.isObjectDeletionSupported()) {
    flashBuffer = ByteArray();
    runtime.requestObjectDeletion();
  }
}

void TransmitManager::clearState(bool zero) {
  if (zero) ramBuffer.zero(0, ramBuffer.length());
  chainingState[RECORD_INDEX] = 0;
  chainingState[OFFSET] = 0;
  chainingState[REMAINING] = 0;
  chainingState[PUT_DATA_FILLED] = 0;
  chainingObjects[ANSWER_SOURCE] = nullptr;
  chainingObjects[PUT_DATA_RECORD] = nullptr;
}

void TransmitManager::clearPutDataState() {
  chainingObjects[PUT_DATA_RECORD] = nullptr;
  chainingState[PUT_DATA_FILLED] = 0;
}

Record* TransmitManager::pendingRecord() { return static_cast<Record*>(chainingObjects[PUT_DATA_RECORD]); }

void TransmitManager::setPendingRecord(Record* record, std::uint16_t filled) {
  chainingObjects[PUT_DATA_RECORD] = record;
  chainingState[PUT_DATA_FILLED] = filled;
}

void TransmitManager::sendRamBuffer(APDU& apdu, std::uint16_t length) {
  clearState(false);
  chainingState[OFFSET] = 0;
  chainingState[REMAINING] = length;
  processGetResponse(apdu);
}

void TransmitManager::sendRecord(APDU& apdu, Record* record) {
  clearState(true);
  chainingObjects[ANSWER_SOURCE] = record;
  chainingState[RECORD_INDEX] = kSingleRecord;
  processGetResponse(apdu);
}

void TransmitManager::sendRecordList(APDU& apdu, JCArray<Record*>& records) {
  clearState(true);
  chainingObjects[ANSWER_SOURCE] = &records;
  processGetResponse(apdu);
}

std::uint16_t TransmitManager::copyRecordsToRamBuffer(std::uint16_t le) {
  auto& records = *static_cast<JCArray<Record*>*>(chainingObjects[ANSWER_SOURCE]);
  std::uint32_t index = chainingState[RECORD_INDEX];
  std::uint32_t position = chainingState[OFFSET];
  std::uint32_t copied = 0;
  // The walk ends at a null entry or at the end of the list, whichever comes first.
  auto present = [&](std::uint32_t i) { return i < records.length() && records[i] != nullptr; };
  if (!present(index)) return 0;
  do {
    const ByteArray& data = records[index]->data;
    const std::uint32_t start = std::min<std::uint32_t>(position, data.length());
    const std::uint32_t chunk = std::min<std::uint32_t>(data.length() - start, kRecordBatch - copied);
    Util::arrayCopy(data, start, ramBuffer, copied, chunk);
    const std::uint32_t total = copied + chunk;
    if (total == le) {
      chainingState[RECORD_INDEX] = static_cast<std::uint16_t>(index + 1);
      chainingState[OFFSET] = 0;
    } else if (copied < le && le < total) {
      chainingState[RECORD_INDEX] = static_cast<std::uint16_t>(index);
      chainingState[OFFSET] = static_cast<std::uint16_t>(start + (le - copied));
    }
    ++index;
    position = 0;
    copied = total;
  } while (copied < kRecordBatch && present(index));
  return static_cast<std::uint16_t>(copied);
}

void TransmitManager::processGetResponse(APDU& apdu) {
  const std::uint16_t offset = chainingState[OFFSET];
  std::uint16_t le = apdu.setOutgoing();
  if (le == 0) le = apdu.getBuffer()[ISO7816::OFFSET_INS] == INS_GENERATE_ASYMMETRIC_KEYPAIR ? 0 : 256;

  void* source = chainingObjects[ANSWER_SOURCE];
  const bool single = source != nullptr && chainingState[RECORD_INDEX] == kSingleRecord;
  std::uint16_t available = 0;
  const ByteArray* from = &ramBuffer;
  std::uint16_t fromOffset = offset;
  if (source == nullptr) {
    available = chainingState[REMAINING];
  } else if (single) {
    const ByteArray& data = static_cast<Record*>(source)->data;
    from = &data;
    available = offset < data.length() ? static_cast<std::uint16_t>(data.length() - offset) : 0;
  } else {
    available = copyRecordsToRamBuffer(le);
    fromOffset = 0;
  }
  if (available == 0) ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);

  const std::uint16_t n = std::min(available, le);
  apdu.setOutgoingLength(n);
  apdu.sendBytesLong(*from, fromOffset, n);

  if (source == nullptr) {
    chainingState[OFFSET] = static_cast<std::uint16_t>(offset + n);
    chainingState[REMAINING] = static_cast<std::uint16_t>(available - n);
  } else if (single) {
    chainingState[OFFSET] = static_cast<std::uint16_t>(offset + n);
  }
  if (available > n) {
    const std::uint16_t rest = available - n;
    ISOException::throwIt(static_cast<std::uint16_t>(ISO7816::SW_BYTES_REMAINING_00 | (rest < 256 ? rest : 0)));
  }
  clearState(true);
}

}  // namespace quillon

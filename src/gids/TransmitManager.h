// Data that does not fit one short APDU: gathers the data of a command chain into
// one buffer, and sends answers longer than Le in pieces fetched with GET RESPONSE
// (61xx). It also remembers the record that a chained PUT DATA is filling. All of
// its state is transient, except the key-import buffer, which lives only while an
// import is under way.
#pragma once

#include <cstdint>

#include "jc/APDU.h"
#include "jc/IArchive.h"
#include "jc/IJCRuntime.h"
#include "jc/JCArray.h"

namespace quillon {

class Record;

class TransmitManager {
 public:
  static constexpr std::uint16_t kRamBufferSize = 530;
  static constexpr std::uint16_t kFlashBufferSize = 3072;
  static constexpr std::uint16_t kSingleRecord = 0xFFFF;

  // chainingState words
  static constexpr std::uint8_t RECORD_INDEX = 0;
  static constexpr std::uint8_t OFFSET = 1;
  static constexpr std::uint8_t REMAINING = 2;
  static constexpr std::uint8_t CHAIN_INS = 3;
  static constexpr std::uint8_t CHAIN_P1P2 = 4;
  static constexpr std::uint8_t PUT_DATA_FILLED = 5;
  // chainingObjects slots
  static constexpr std::uint8_t ANSWER_SOURCE = 0;
  static constexpr std::uint8_t PUT_DATA_RECORD = 1;

  explicit TransmitManager(IJCRuntime& runtime);
  ~TransmitManager();
  TransmitManager(const TransmitManager&) = delete;
  TransmitManager& operator=(const TransmitManager&) = delete;

  // Chaining bookkeeping before every command; may refuse it (6884, 6900, 6D00).
  void processChainInitialization(APDU& apdu);
  static bool isCommandChainingCLA(APDU& apdu);
  // Gathers this command's data into target; an intermediate chained command
  // ends with 9000 here. Returns the total of the chain.
  std::uint16_t doChainingOrExtAPDU(APDU& apdu, ByteArray& target, std::uint16_t maximum);
  std::uint16_t doChainingOrExtAPDUFlash(APDU& apdu);

  void processGetResponse(APDU& apdu);
  // Sends an answer the caller placed at the start of ramBuffer.
  void sendRamBuffer(APDU& apdu, std::uint16_t length);
  // Prepares an answer from one record or from a file's record list (ended by a
  // null entry or the list's end), then sends its first part.
  void sendRecord(APDU& apdu, Record* record);
  void sendRecordList(APDU& apdu, JCArray<Record*>& records);

  // Writes an empty element; loading makes all transient state anew.
  void serialize(IArchive& archive);

  void clearState(bool zero);
  void clearPutDataState();
  void clearFlashBuffer();

  // The record a chained PUT DATA is filling, and how much of it is filled.
  Record* pendingRecord();
  void setPendingRecord(Record* record, std::uint16_t filled);
  std::uint16_t pendingFilled() { return chainingState[PUT_DATA_FILLED]; }
  void setPendingFilled(std::uint16_t filled) { chainingState[PUT_DATA_FILLED] = filled; }

  ByteArray& getRamBuffer() { return ramBuffer; }
  ByteArray& getFlashBuffer() { return flashBuffer; }

 private:
  void makeTransientState();
  std::uint16_t copyRecordsToRamBuffer(std::uint16_t le);
  void abortChain();

  ByteArray ramBuffer;
  JCArray<std::uint16_t> chainingState;
  JCArray<void*> chainingObjects;
  ByteArray flashBuffer;
  IJCRuntime& runtime;
};

}  // namespace quillon

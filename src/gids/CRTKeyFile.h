// A key file: an EF that holds one key, an RSA key pair or a triple-DES key. Its
// FCP carries a control reference template (tag A5) naming the operations and
// algorithms the key may be used for. The file owns its keys and wipes them when
// they are replaced or the file goes.
#pragma once

#include <cstdint>

#include "gids/File.h"
#include "jc/Key.h"

namespace quillon {

class CRTKeyFile final : public ElementaryFile {
 public:
  static constexpr std::uint16_t kMinCRTLength = 11;
  static constexpr std::uint16_t kMaxCRTLength = 127;

  CRTKeyFile(IJCRuntime& runtime, std::uint16_t fileID, ByteArray fcp, std::uint16_t posCRT, std::uint16_t lenCRT);
  ~CRTKeyFile() override;

  // InvalidArgumentsException unless the CRT's content length is 11 to 127 bytes.
  static void CheckCRT(std::uint16_t lenCRT);

  void clearContents() override;
  void serialize(IArchive& archive) override;

  // Returns when a control reference template with tag `operation` allows the
  // algorithm reference; NotFoundException otherwise.
  void CheckUsage(std::uint8_t operation, std::uint8_t algRef);
  // Imports the key of the A5 template at data[offset]: a triple-DES key or a DER
  // RSAPrivateKey. Malformed data ends as ISOException 6984 (6A81 for an 84 other
  // than 0); the file's old key is kept until the new one is complete.
  void importKey(ByteArray& data, std::uint16_t offset);
  // Makes a freshly generated pair the file's key; the file owns it from now on.
  void SaveKey(KeyPair* pair);

  std::uint16_t posCRT;
  std::uint16_t lenCRT;
  KeyPair* keyPair = nullptr;
  ByteArray symmetricKey;

 private:
  void importRsaKey(ByteArray& data, std::uint16_t offset, std::uint16_t length);
  void importSymmetricKey(ByteArray& data, std::uint16_t offset, std::uint16_t length);
};

}  // namespace quillon

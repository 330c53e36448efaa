// The GIDS card application. It owns the PIN manager, the file tree, the transmit
// manager and three RSA ciphers; it checks the class byte, routes every
// instruction to its handler, keeps the current security environment, and asks
// the runtime to persist the card after every command.
#pragma once

#include <cstdint>

#include "jc/APDU.h"
#include "jc/Cipher.h"
#include "jc/IApplet.h"
#include "jc/IJCRuntime.h"
#include "jc/Key.h"
#include "jc/PersistentObject.h"

namespace quillon {

class CRTKeyFile;
class GidsFileSystem;
class GidsPINManager;
class TransmitManager;

class GidsApplet final : public IApplet {
 public:
  explicit GidsApplet(IJCRuntime& runtime);
  ~GidsApplet() override;
  GidsApplet(const GidsApplet&) = delete;
  GidsApplet& operator=(const GidsApplet&) = delete;

  // Creates the applet in the runtime's memory and makes it the runtime's applet.
  static GidsApplet* install(IJCRuntime& runtime);

  void process(APDU& apdu) override;
  void serialize(IArchive& archive) override;

  GidsPINManager& pins() { return *pinManager; }
  GidsFileSystem& files() { return *fileSystem; }
  TransmitManager& transmit() { return *transmitManager; }

 private:
  void dispatch(APDU& apdu, std::uint8_t ins);
  void processGetData(APDU& apdu);
  void processTerminateDF(APDU& apdu);
  void processManageSecurityEnvironment(APDU& apdu);
  void processComputeDigitalSignature(APDU& apdu);
  void processDecipher(APDU& apdu);
  void processGenerateAsymmetricKeypair(APDU& apdu);
  void processGetPublicKey(APDU& apdu, std::uint8_t keyReference);
  void processImportKey(APDU& apdu);
  void importKey(APDU& apdu);
  void sendPublicKey(APDU& apdu, RSAPublicKey* key);
  // The private key of the current security environment's key file; 6985 without one.
  RSAPrivateCrtKey& currentPrivateKey();
  Cipher& cipher(Cipher* c);
  // Forgets key files that a deleted file may have taken with it.
  void forgetKeyFiles();

  IJCRuntime& runtime;
  ByteArray algorithmReference;
  JCArray<void*> currentKeyFile;
  PersistentPtr<GidsPINManager> pinManager;
  PersistentPtr<TransmitManager> transmitManager;
  PersistentPtr<Cipher> rsaPkcs1Cipher;
  PersistentPtr<Cipher> rsaOaepCipher;
  PersistentPtr<Cipher> rsaNoPadCipher;
  PersistentPtr<GidsFileSystem> fileSystem;
};

}  // namespace quillon

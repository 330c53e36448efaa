#include "gids/GidsApplet.h"

#include "base/Trace.h"
#include "gids/CRTKeyFile.h"
#include "gids/GidsFileSystem.h"
#include "gids/GidsPINManager.h"
#include "gids/TransmitManager.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"
#include "jc/Util.h"

namespace quillon {

namespace {

constexpr std::uint8_t kRootFcp[] = {0x62, 0x08, 0x82, 0x01, 0x38, 0x8C, 0x03, 0x03, 0x30, 0x30};
constexpr std::uint8_t kRootFci[] = {0x61, 0x12, 0x4F, 0x0B, 0xA0, 0x00, 0x00, 0x03, 0x97, 0x42,
                                     0x54, 0x46, 0x59, 0x02, 0x01, 0x73, 0x03, 0x40, 0x01, 0xC0};
constexpr std::uint8_t kRootFmd[] = {0x64, 0x09, 0x5F, 0x2F, 0x01, 0x60, 0x7F, 0x65, 0x02, 0x80, 0x00};
// Card service data, card capabilities, and the maker's name as pre-issuing data.
constexpr std::uint8_t kCardCapabilities[] = {0x43, 0x01, 0xF4, 0x47, 0x03, 0x08, 0x01, 0x80, 0x46, 0x0C, 'B',
                                              'r',  'i',  'n',  'd',  'l',  'e',  'w',  'o',  'r',  't',  'h'};

template <std::size_t N>
ByteArray persistentCopy(IJCRuntime& runtime, const std::uint8_t (&bytes)[N]) {
  ByteArray a(static_cast<std::uint16_t>(N), runtime.persistentMemory(), JC_HERE("GidsApplet::GidsApplet"));
  for (std::size_t i = 0; i < N; ++i) a[static_cast<std::uint32_t>(i)] = bytes[i];
  return a;
}

Cipher* createGuarded(IJCRuntime& runtime, std::uint8_t algorithm, bool& failed) {
  if (failed) return nullptr;
  try {
    return runtime.createCipher(algorithm);
  } catch (const CryptoException&) {
    failed = true;
    return nullptr;
  }
}

}  // namespace

GidsApplet::GidsApplet(IJCRuntime& rt)
    : runtime(rt),
      algorithmReference(rt.makeTransientByteArray(1, CLEAR_ON_RESET)),
      currentKeyFile(rt.makeTransientObjectArray(1, CLEAR_ON_RESET)),
      pinManager(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")),
      transmitManager(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")),
      rsaPkcs1Cipher(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")),
      rsaOaepCipher(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")),
      rsaNoPadCipher(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")),
      fileSystem(rt, nullptr, JC_HERE("GidsApplet::~GidsApplet")) {
  QTRACE(trace::kVerbose, "GidsApplet::GidsApplet", "GidsApplet constructor called");
  pinManager.reset(makePersistent<GidsPINManager>(rt, JC_HERE("GidsApplet::GidsApplet"), rt));
  transmitManager.reset(makePersistent<TransmitManager>(rt, JC_HERE("GidsApplet::GidsApplet"), rt));
  bool failed = false;  // a cipher the platform cannot make stays empty
  rsaPkcs1Cipher.reset(createGuarded(rt, Cipher::ALG_RSA_PKCS1, failed));
  rsaOaepCipher.reset(createGuarded(rt, Cipher::ALG_RSA_OAEP, failed));
  rsaNoPadCipher.reset(rt.createCipher(Cipher::ALG_RSA_NOPAD));
  fileSystem.reset(makePersistent<GidsFileSystem>(rt, JC_HERE("GidsApplet::GidsApplet"), rt, pinManager.get(),
                                                  transmitManager.get(), persistentCopy(rt, kRootFcp),
                                                  persistentCopy(rt, kRootFci), persistentCopy(rt, kRootFmd)));
  if (!pinManager || !transmitManager || !fileSystem) SystemException::throwIt(SystemException::NO_RESOURCE);
}

GidsApplet::~GidsApplet() {
  pinManager.reset();
  transmitManager.reset();
  rsaPkcs1Cipher.reset();
  rsaOaepCipher.reset();
  rsaNoPadCipher.reset();
  fileSystem.reset();
  // The runtime has already let go of an applet it destroys itself.
  if (runtime.getApplet() == nullptr) runtime.setApplet(nullptr);
}

GidsApplet* GidsApplet::install(IJCRuntime& runtime) {
  QTRACE(trace::kVerbose, "GidsApplet::install", "GidsApplet install called");
  GidsApplet* applet = makePersistent<GidsApplet>(runtime, JC_HERE("GidsApplet::install"), runtime);
  runtime.setApplet(applet);
  return applet;
}

void GidsApplet::process(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t cla = buffer[ISO7816::OFFSET_CLA];
  if ((cla & 0x0C) != 0) ISOException::throwIt(ISO7816::SW_SECURE_MESSAGING_NOT_SUPPORTED);
  const std::uint8_t ins = buffer[ISO7816::OFFSET_INS];
  transmitManager->processChainInitialization(apdu);
  if ((cla & 0xE0) != 0) ISOException::throwIt(ISO7816::SW_CLA_NOT_SUPPORTED);

  // The card is persisted after every command, whatever its status word: a wrong
  // PIN must be counted in the stored card before its answer leaves. The runtime
  // hands on only a state that changed; an unchanged one costs nothing.
  try {
    dispatch(apdu, ins);
  } catch (...) {
    runtime.persist();
    throw;
  }
  runtime.persist();
}

void GidsApplet::dispatch(APDU& apdu, std::uint8_t ins) {
  const char* fn = "GidsApplet::process";
  ByteArray& buffer = apdu.getBuffer();
  switch (ins) {
    case 0x20: QTRACE(trace::kInformation, fn, "INS_VERIFY"); return pinManager->processVerify(apdu);
    case 0x22:
      QTRACE(trace::kInformation, fn, "INS_MANAGE_SECURITY_ENVIRONMENT");
      return processManageSecurityEnvironment(apdu);
    case 0x24:
      QTRACE(trace::kInformation, fn, "INS_CHANGE_REFERENCE_DATA");
      return pinManager->processChangeReferenceData(apdu);
    case 0x2A: {
      QTRACE(trace::kInformation, fn, "INS_PERFORM_SECURITY_OPERATION");
      const std::uint16_t p1p2 = Util::getShort(buffer, ISO7816::OFFSET_P1);
      if (p1p2 == 0x9E9A) return processComputeDigitalSignature(apdu);
      if (p1p2 == 0x8086) return processDecipher(apdu);
      ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
    }
    case 0x2C:
      QTRACE(trace::kInformation, fn, "INS_RESET_RETRY_COUNTER");
      return pinManager->processResetRetryCounter(apdu);
    case 0x44: QTRACE(trace::kInformation, fn, "INS_ACTIVATE_FILE"); return fileSystem->processActivateFile(apdu);
    case 0x47:
      QTRACE(trace::kInformation, fn, "INS_GENERATE_ASYMMETRIC_KEYPAIR");
      return processGenerateAsymmetricKeypair(apdu);
    case 0x87:
      QTRACE(trace::kInformation, fn, "INS_GENERAL_AUTHENTICATE");
      return pinManager->processGeneralAuthenticate(apdu);
    case 0xA4: QTRACE(trace::kInformation, fn, "INS_SELECT"); return fileSystem->processSelectFile(apdu);
    case 0xC0: QTRACE(trace::kInformation, fn, "INS_GET_RESPONSE"); return transmitManager->processGetResponse(apdu);
    case 0xCB: QTRACE(trace::kInformation, fn, "INS_GET_DATA"); return processGetData(apdu);
    case 0xDB:
      QTRACE(trace::kInformation, fn, "INS_PUT_DATA");
      if (buffer[ISO7816::OFFSET_P1] == 0x3F && buffer[ISO7816::OFFSET_P2] == 0xFF) return processImportKey(apdu);
      return fileSystem->processPutData(apdu);
    case 0xE0: QTRACE(trace::kInformation, fn, "INS_CREATE_FILE"); return fileSystem->processCreateFile(apdu);
    case 0xE4:
      QTRACE(trace::kInformation, fn, "INS_DELETE_FILE");
      try {
        fileSystem->processDeleteFile(apdu);
      } catch (...) {
        forgetKeyFiles();
        throw;
      }
      return forgetKeyFiles();
    case 0xE6: QTRACE(trace::kInformation, fn, "INS_TERMINATE_DF"); return processTerminateDF(apdu);
    default:
      QTRACE(trace::kInformation, fn, "SW_INS_NOT_SUPPORTED %d", buffer[ISO7816::OFFSET_CLA]);
      ISOException::throwIt(ISO7816::SW_INS_NOT_SUPPORTED);
  }
}

void GidsApplet::forgetKeyFiles() {
  currentKeyFile[0] = nullptr;
  pinManager->SetKeyReference(nullptr);
}

void GidsApplet::processGetData(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  const std::uint8_t p1 = buffer[ISO7816::OFFSET_P1];
  const std::uint8_t p2 = buffer[ISO7816::OFFSET_P2];
  if (p1 == 0x3F && p2 == 0xFF) {
    const std::uint16_t lc = apdu.setIncomingAndReceive();
    if (lc == 10 && buffer[ISO7816::OFFSET_CDATA] == 0x70) return processGetPublicKey(apdu, buffer[9]);
    if (lc == 4 && buffer[5] == 0x5C && buffer[6] == 0x02) {
      const std::uint16_t tag = Util::getShort(buffer, 7);
      if (tag == 0x7F71 || tag == 0x7F72 || tag == 0x7F73) return pinManager->returnPINStatus(apdu, tag);
    }
    ISOException::throwIt(ISO7816::SW_DATA_INVALID);
  }
  if (p1 == 0x2F && p2 == 0x01) {
    const std::uint16_t lc = apdu.setIncomingAndReceive();
    if (lc != 2 || buffer[5] != 0x5C || buffer[6] != 0x00) ISOException::throwIt(ISO7816::SW_DATA_INVALID);
    for (std::uint32_t i = 0; i < sizeof kCardCapabilities; ++i) buffer[i] = kCardCapabilities[i];
    apdu.setOutgoing();
    apdu.setOutgoingLength(sizeof kCardCapabilities);
    apdu.sendBytes(0, sizeof kCardCapabilities);
    return;
  }
  fileSystem->processGetData(apdu);
}

void GidsApplet::processTerminateDF(APDU& apdu) {
  ByteArray& buffer = apdu.getBuffer();
  if (buffer[ISO7816::OFFSET_P1] != 0 || buffer[ISO7816::OFFSET_P2] != 0)
    ISOException::throwIt(ISO7816::SW_INCORRECT_P1P2);
  fileSystem->checkAccess(*pinManager, AM_TERMINATE);
  fileSystem->setState(STATE_TERMINATION);
}

}  // namespace quillon

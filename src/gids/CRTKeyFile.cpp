#include "gids/CRTKeyFile.h"

#include "base/Trace.h"
#include "jc/Exceptions.h"
#include "jc/PersistentObject.h"

namespace quillon {

CRTKeyFile::CRTKeyFile(IJCRuntime& rt, std::uint16_t id, ByteArray template_, std::uint16_t pos, std::uint16_t len)
    : ElementaryFile(rt, id, std::move(template_)), posCRT(pos), lenCRT(len) {}

CRTKeyFile::~CRTKeyFile() { clearContents(); }

void CRTKeyFile::CheckCRT(std::uint16_t length) {
  if (length < kMinCRTLength || length > kMaxCRTLength)
    throwInvalidArguments(__FILE__, __LINE__, "CRTKeyFile::CheckCRT");
}

void CRTKeyFile::clearContents() {
  QTRACE(trace::kVerbose, "CRTKeyFile::clearContents", "clearContents");
  if (!symmetricKey.empty() || keyPair != nullptr) runtime.noteStateChange();
  if (!symmetricKey.empty()) {
    symmetricKey.zero(0, symmetricKey.length());
    symmetricKey = ByteArray();
  }
  if (keyPair != nullptr) {
    if (RSAPrivateCrtKey* priv = keyPair->getPrivate()) priv->clearKey();
    if (RSAPublicKey* pub = keyPair->getPublic()) pub->clearKey();
    destroyPersistent(runtime, keyPair, JC_HERE("CRTKeyFile::clearContents"));
    keyPair = nullptr;
  }
  if (runtime.isObjectDeletionSupported()) runtime.requestObjectDeletion();
}

}  // namespace quillon

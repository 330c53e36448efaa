// A card rebuilt from a state document, as the container code rebuilds one, for
// the fuzz targets that load documents and write them again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "Invariant.h"
#include "base/OpenSsl.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/Exceptions.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon::fuzz {

// Loads `document` into `runtime`: true when the card took it. A refused
// document (a status or one of the card's exceptions) is an answer, not a fault.
inline bool loadCard(std::span<const std::uint8_t> document, JCRuntimeImpl& runtime) {
  GidsAppletInstaller installer;
  try {
    return FilePersist::restoreHeap(document, runtime, installer) == 0;
  } catch (const JavaCardRuntimeException&) {
  } catch (const SystemException&) {
  } catch (const CryptoException&) {
  } catch (const ISOException&) {
  }
  return false;
}

// The state document of `runtime`; a card that loaded must be writable.
inline ossl::SecureBytes snapshotCard(JCRuntimeImpl& runtime) {
  std::optional<ossl::SecureBytes> document = FilePersist::snapshotHeap(runtime);
  if (!document) fail("a loaded card could not be written");
  return std::move(*document);
}

// Loads a document this program wrote into a fresh card, which must take it,
// and returns what that card writes.
inline ossl::SecureBytes reloadCard(const ossl::SecureBytes& document) {
  JCRuntimeImpl runtime;
  if (!loadCard(document, runtime)) fail("a written document did not load");
  return snapshotCard(runtime);
}

}  // namespace quillon::fuzz

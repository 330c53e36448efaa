// The key pair of a key file in the state document: element KeyPair with its
// public key (modulus, exponent) and private key (the five CRT components).
#pragma once

#include "jc/IArchive.h"
#include "jc/Key.h"

namespace quillon {

// Writes the pair, or reads the stored one into it (its keys are replaced).
void serializeKeyPair(IArchive& archive, KeyPair& pair);

}  // namespace quillon

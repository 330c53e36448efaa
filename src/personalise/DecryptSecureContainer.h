// The decryption tool: loads the container of a drive with the device's key and
// writes the card's state, unencrypted, to the working directory as
// "Quillon.decrypted.bin" (the compressed payload) and "Quillon.decrypted.xml.txt"
// (the state document), for diagnosis. Both files hold the PIN and the keys in
// clear and are created readable by their owner only.
#pragma once

#include <cstdint>
#include <string>

#include "personalise/CreateSecureContainer.h"

namespace quillon {

inline constexpr const char* kDecryptedPayloadFile = "Quillon.decrypted.bin";
inline constexpr const char* kDecryptedXmlFile = "Quillon.decrypted.xml.txt";

// 0 when both files were written from the loaded card; otherwise a Win32 error
// (the drive cannot be opened) or an HRESULT. When the card does not load,
// `failure` (if given) receives why, as a clause about the container.
std::uint32_t DecryptSecureContainer(const std::string& drive, const DeviceIdentity* identity = nullptr,
                                     const platform::SystemPaths& paths = platform::SystemPaths(),
                                     std::string* failure = nullptr);

// Decompresses "Quillon.decrypted.bin" into "Quillon.decrypted.xml.txt"; an HRESULT.
std::uint32_t DecompressFileToFile();

}  // namespace quillon

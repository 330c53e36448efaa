// Minimal cabinet files for checking the codec against independent MSZIP
// implementations: one folder (MSZIP), one file, and CFDATA blocks that are the
// codec's chunks ("CK" + deflate) without their LEN field. Test input only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::test {

// A cabinet holding `fileName`, whose CFDATA blocks are the chunks of `mszip`.
std::vector<std::uint8_t> cabinetFromMszip(const std::vector<std::uint8_t>& mszip, const std::string& fileName);

// The MSZIP buffer whose chunks are the CFDATA blocks of a single-folder
// cabinet; empty (and a test failure) when the cabinet is not of that shape.
std::vector<std::uint8_t> mszipFromCabinet(const std::vector<std::uint8_t>& cabinet);

// Runs a shell command; its exit status (-1 when it could not run).
int runCommand(const std::string& command);

// A fresh empty directory under the test's temporary directory.
std::string makeScratchDirectory(const std::string& name);

}  // namespace quillon::test

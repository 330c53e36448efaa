// An application DF: a DF with an FCI template (naming the application identifier
// under tag 4F) and an FMD template, as SELECT returns them. Selection by DF name
// matches any contiguous piece of its application identifier.
#pragma once

#include "gids/DedicatedFile.h"

namespace quillon {

class ApplicationFile : public DedicatedFile {
 public:
  ApplicationFile(IJCRuntime& runtime, std::uint16_t fileID, ByteArray fcp, ByteArray fci, ByteArray fmd);

  bool isApplicationFile() const override { return true; }
  bool matchesDFName(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) override;

  ByteArray fci;
  ByteArray fmd;
};

}  // namespace quillon

// The applet a runtime holds. The runtime owns it: it was placed in a block of the
// runtime's persistent memory, and setApplet() destroys it and hands the block back.
#pragma once

namespace quillon {

class APDU;
class IArchive;

class IApplet {
 public:
  virtual ~IApplet() = default;
  // Handles one command; the status word is 9000 unless it throws.
  virtual void process(APDU& apdu) = 0;
  virtual void serialize(IArchive& archive) = 0;
};

}  // namespace quillon

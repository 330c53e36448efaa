// Builds an applet inside a runtime and makes it the runtime's applet, so that a
// stored card can be rebuilt: the installer makes the applet with its default
// state, then the state document overwrites it.
#pragma once

namespace quillon {

class IApplet;
class IJCRuntime;

class IAppletInstaller {
 public:
  // The applet now current in `runtime` (the runtime owns it), or null.
  virtual IApplet* install(IJCRuntime& runtime) = 0;

 protected:
  ~IAppletInstaller() = default;
};

}  // namespace quillon

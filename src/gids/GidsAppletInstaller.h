// Installs the GIDS applet: the installer a stored card is rebuilt with.
#pragma once

#include "gids/GidsApplet.h"
#include "jc/IAppletInstaller.h"

namespace quillon {

class GidsAppletInstaller final : public IAppletInstaller {
 public:
  IApplet* install(IJCRuntime& runtime) override { return GidsApplet::install(runtime); }
};

}  // namespace quillon

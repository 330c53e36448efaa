// The manager program: help and version texts without a display, otherwise the
// window over the virtual reader.
#pragma once

namespace quillon::manager {

int managerMain(int argc, char** argv);

}  // namespace quillon::manager

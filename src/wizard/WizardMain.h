// The wizard program: the decryption tool for "/decrypt DRIVE", help and version
// texts, and otherwise the dialog. Only the dialog needs a display.
#pragma once

namespace quillon::wizard {

int wizardMain(int argc, char** argv);

}  // namespace quillon::wizard

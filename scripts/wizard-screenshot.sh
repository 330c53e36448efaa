#!/bin/sh
# Draws the wizard's dialog into docs/wizard.png: builds wizard_screenshot with
# the given preset (dev unless told) and runs it on Qt's offscreen platform over
# a fixture machine with one USB stick; no display and no reader are needed.
# Usage: scripts/wizard-screenshot.sh [PRESET]
set -eu
preset=${1:-dev}
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target wizard_screenshot
mkdir -p docs
QT_QPA_PLATFORM=offscreen "build/$preset/tests/tools/wizard_screenshot" docs/wizard.png

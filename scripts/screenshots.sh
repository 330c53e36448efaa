#!/bin/sh
# Draws the desktop programs into docs/wizard.png and docs/manager.png: builds
# wizard_screenshot and manager_screenshot with the given preset (dev unless
# told) and runs them on Qt's offscreen platform over fixture machines (a USB
# stick, a card of fixed state); no display and no reader are needed.
# Usage: scripts/screenshots.sh [PRESET]
set -eu
preset=${1:-dev}
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target wizard_screenshot manager_screenshot
mkdir -p docs
QT_QPA_PLATFORM=offscreen "build/$preset/tests/tools/wizard_screenshot" docs/wizard.png
QT_QPA_PLATFORM=offscreen "build/$preset/tests/tools/manager_screenshot" docs/manager.png

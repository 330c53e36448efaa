#!/bin/sh
# Draws the desktop programs into docs/wizard.png and docs/manager.png: builds
# the wizard's and the manager's Qt tests with the given preset (dev unless told)
# and runs their picture cases on Qt's offscreen platform over fixture machines
# (a USB stick, a card of fixed state); no display and no reader are needed.
# Usage: scripts/screenshots.sh [PRESET]
set -eu
preset=${1:-dev}
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target wizard_fields_tests manager_tests
mkdir -p docs
export QT_QPA_PLATFORM=offscreen
QUILLON_SCREENSHOT=docs/wizard.png "build/$preset/tests/wizard/wizard_fields_tests" picture
QUILLON_SCREENSHOT=docs/manager.png "build/$preset/tests/manager/manager_tests" showsTheCardAndFollowsItComingAndGoing

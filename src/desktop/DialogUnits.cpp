#include "desktop/DialogUnits.h"

#include <algorithm>

namespace quillon::desktop {

// A font without metrics (none installed) still gives a usable layout.
DialogUnits::DialogUnits(const QFontMetrics& metrics)
    : charWidth_(std::max(metrics.averageCharWidth(), 4)), lineHeight_(std::max(metrics.height(), 8)) {}

}  // namespace quillon::desktop

// The trace capture lives in its header; this unit checks that the header stands alone.
#include "support/CapturingSink.h"

// Choosing one installed interpreter for a version request or the default.
// Portable code only.
#pragma once

#include "discovery/installations.h"

// The entry for `request` (a version prefix such as "3", "3.6", "3.6-32", or empty for
// the default), honouring the configured defaults, or null when none fits. Scans the
// registry first while nothing has been found. `prefer_major_2` makes the default road
// try major 2 before major 3. The pointer stays valid for the whole run.
const InstalledInterpreter* select_interpreter(const char16_t* request, bool prefer_major_2);

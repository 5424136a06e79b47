// Choosing one installed interpreter. Stand-in until the registry scan exists: nothing is
// installed, so every request finds nothing.
#include "discovery/selection.h"

const InstalledInterpreter* select_interpreter(const char16_t*, bool) { return nullptr; }

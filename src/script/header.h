// Reading and decoding the wrapped script's first line. Portable code only.
#pragma once

#include "launcher/platform.h"

// Reads up to 2048 bytes of the open script and closes it. A compiled script, or a first
// line that names an interpreter, starts the child (or ends the run with a fatal error)
// and does not return; the function returns when the script gives nothing usable, and
// the main flow goes on with its default road.
void maybe_handle_shebang(platform::Handle script, const char16_t* new_command_line);

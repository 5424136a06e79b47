// The launcher's run from start to the hand-over to the child. Portable code only.
#pragma once

#include <cstdint>

#include "base/text.h"

// The launcher's own path with everything from its last "." replaced by "-script.zk".
extern text::Growable wrapped_script_path;
extern text::Growable venv_executable_path;
// Most and least significant words of the launcher's file version; zero when unknown.
extern uint32_t launcher_version[2];
// The raw command line after the launcher's own name and the white space after it.
extern const char16_t* user_arguments;
// The script path (quoted when it holds a blank), one blank, user_arguments.
extern char16_t* new_command_line;

// Runs the launcher. `argv` (split by the runtime, wildcards expanded) serves only the
// help option and the usage line; what reaches the child comes from the raw command
// line. Never returns: the run ends with the child's exit code or a fatal error.
[[noreturn]] void launcher_main(int argc, char16_t** argv);

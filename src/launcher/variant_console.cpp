// The console launcher, zklaunch.exe: the child shares the launcher's console. Portable
// code only.
#include "launcher/variant.h"

#include "base/diagnostics.h"

namespace variant {

const char16_t* const executable_kind = u"Console";

void report_fatal(char16_t* message, size_t length) { write_whole(platform::Stream::error, message, length); }

// Ctrl+C and Ctrl+Break reach every process of the console: the child, which handles them
// for itself, and the launcher, which must stay to report the child's exit code.
bool shield_from_console_events(platform::ConsoleCtrlHandler handler) {
    return platform::set_console_ctrl_handler(handler, true);
}

// The child then has no handle for that stream either, as the launcher had none.
bool stand_in_for_absent_stream(platform::Handle*) { return true; }

// Flags 0: the child starts at once and shares the launcher's console.
uint32_t prepare_child_start(platform::StartupInfo*) { return 0; }

void child_created(const platform::ProcessInformation&) {}
void child_resumed(const platform::ProcessInformation&) {}

}  // namespace variant

// What differs between the console launcher (zklaunch.exe) and the windowless one
// (zklaunchw.exe). Exactly one of variant_console.cpp and variant_windowless.cpp is
// linked into an executable, as the platform is; everything else is the same code.
// Portable code only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace variant {

// The kind of executable, for the trace's second line: "Console" or "Windows".
extern const char16_t* const executable_kind;

// Shows a fatal message (`length` units, its line feed included, then a terminator; the
// storage is the callee's to change) where the user can see
// it: on standard error, or for the windowless launcher without one, in a message box
// when somebody can see and close it. Returns in every case; the caller exits.
void report_fatal(char16_t* message, size_t length);

// Keeps the launcher alive through console control events while the child runs, with
// `handler` installed; false when that cannot be done.
bool shield_from_console_events(platform::ConsoleCtrlHandler handler);

// Fills `*slot` (null on entry) for a standard stream the launcher was started without:
// the console launcher leaves it null; the windowless one gives the child the NUL
// device. False when that fails.
bool stand_in_for_absent_stream(platform::Handle* slot);

// Completes the child's startup record beyond its standard handles, and returns the
// creation flags to start it with. Whatever the variant will need once the child exists
// is had here, before it exists, so that the child waits suspended no longer than it must.
uint32_t prepare_child_start(platform::StartupInfo* startup);

// Called once the child exists, in the job where it could join it, and, but where it is
// outside any job, before its first instruction: it is resumed right after. Then once it
// runs.
void child_created(const platform::ProcessInformation& child);
void child_resumed(const platform::ProcessInformation& child);

}  // namespace variant

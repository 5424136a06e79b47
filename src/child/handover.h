// What the child's start asks of the launcher's variant: the console launcher shares its
// console with the child; the windowless one gives it a hidden console, NUL for the
// streams it lacks, its show-window setting and the foreground. Each launcher's variant
// file defines these (launcher/variant_*.cpp, chosen at link time). Portable code only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace variant {

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

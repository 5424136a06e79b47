// The child's command line, its start inside a job with inherited standard handles, the
// wait and the exit code. Portable code only.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Joins "executable arguments rest" (or "executable rest", or the executable alone when
// both others are empty), copying each piece unchanged: callers supply any quoting. Runs
// the child and exits with its exit code; exits 101 when the command line cannot be
// allocated, and as `run_child` says otherwise. Never returns. `program` is the full path
// of the program the caller found, `executable` then being that path (in quotes when it
// holds a blank); or null when the line names it as written (a custom command's value, a
// first line run as written): it is then decided from the line (decide_program), and a
// line that names none ends the run with 101 before anything is created. `rest` is the
// main flow's tail: the script's path (quoted when it holds a blank), a blank, the user's
// arguments. A batch file is never handed to CreateProcessW: the launcher starts the
// system folder's cmd.exe with /d /e:on /v:off /s /c and the batch file's quoted full path
// followed by each argument of the line (read as CommandLineToArgvW reads it) written so
// that cmd hands the batch file that argument; "%", a carriage return or a line feed in
// the path or any argument ends the run with 101, nothing started.
[[noreturn]] void launch_with_args(const char16_t* executable, const char16_t* arguments,
                                   const char16_t* rest, const char16_t* program);

// Starts `command_line` (writable: CreateProcessW may change it) as the program at the
// full path `program`. The child runs in a new job that kills it when the launcher ends,
// with inheritable copies of the launcher's standard handles; the launcher ignores
// console control events, waits, and exits with the child's exit code. Its own failures
// exit with 100 (a standard handle) or 101 (job, handler, start, exit code).
// What the variant decides (launcher/variant.h): the stand-in for a standard handle the
// launcher lacks, the control handler, the creation flags and the startup record.
[[noreturn]] void run_child(char16_t* command_line, const char16_t* program);

// Puts an inheritable copy of `handle` in `*slot`. A handle the launcher was started
// without (ERROR_INVALID_HANDLE, or INVALID_HANDLE_VALUE from GetStdHandle) leaves the
// slot null and still counts as success.
bool duplicate_inheritable(platform::Handle handle, platform::Handle* slot);

// Console control handler. Ctrl+C and Ctrl+Break (and any event but the three below) are
// ignored: the child, which shares the console, handles them, and the launcher stays to
// report its exit code. Console close, logoff and shutdown: at once (handled) before the
// child exists; once it exists (suspended still, or running), the handler waits for it to
// end, and then for the main thread to end the launcher with its exit code (it does not
// return).
int PLATFORM_CALLBACK ignore_console_ctrl(uint32_t event);

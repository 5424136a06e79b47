// Which program a child is. The launcher decides it itself and hands CreateProcessW its
// full path, so that Windows' own search, which looks in the current folder before any
// other, is never reached: the current folder is where a user stands, not where a user
// chose what lies (a cloned repository, Downloads, an unpacked archive, a share).
// Portable code only.
#pragma once

#include <cstddef>

#include "base/text.h"

// The launcher's own folder, searched first for a bare name (a virtual environment's
// Scripts folder holds its tools and their interpreter side by side), and the script's
// folder, the base of every relative path a first line or a custom command writes. Set
// by the main flow before any search; a new call forgets what earlier searches read.
void set_program_folders(const char16_t* launcher_folder, const char16_t* script_folder);
// As before the first set_program_folders (what was read is left to the run's end).
void forget_program_folders();

// Looks for the file `name` names (a folder of that name does not count):
// - a bare name (no folder part) in the launcher's own folder, the system folder, the
//   Windows folder, then each entry of PATH in order; never in the current folder, and
//   never in a PATH entry that is not an absolute folder (".", "bin", an empty entry:
//   each is skipped, traced once a run);
// - a relative path with a folder part (rt\x, .\x, ..\x, with "/" too) in the script's
//   folder, normalised ("..\rt\x" beside C:\tools\sub is C:\tools\rt\x);
// - an absolute or UNC path as written;
// - a drive-relative path (D:x) or a path rooted on no drive (\x, /usr/bin/env) nowhere:
//   the current folder of that drive, or the current drive, decides what they name.
// `extensions` is null to look for the name as written, or a list in PATHEXT's form
// (";" between items, empty items skipped): when the name's last component has no ".",
// each item is appended in turn, and goes through the whole order before the next.
// The full path found into `found`; false (traced: where it looked) when none is.
bool find_program(const char16_t* name, const char16_t* extensions, text::Growable& found);

// The program `command_line` starts, decided as CreateProcessW decides it from the text
// (a first word in double quotes is the path; an unquoted line is tried up to each blank
// or tab in turn, shortest first, so "C:\My Tools\x.exe -q" tries C:\My.exe before
// C:\My Tools\x.exe; ".exe" is appended to a name without an extension), but looked for
// as find_program looks. Its full path into `program`, and in `*used` the number of units
// of the line it was decided from (the quotes included); false when none is found.
bool decide_program(const char16_t* command_line, text::Growable& program, size_t* used);

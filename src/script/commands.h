// Custom commands from the "commands" section of zk.ini, and the search-path lookup.
// Portable code only.
#pragma once

// Both texts whole, in heap storage of their own length, never released.
struct CommandEntry {
    const char16_t* key;    // the command name
    const char16_t* value;  // the configured text, or the full path a search found
};

inline constexpr int max_custom_commands = 100;

// Entries 0 to custom_command_count - 1, in the order their names were first met.
extern CommandEntry custom_commands[max_custom_commands];
extern int custom_command_count;
// The one record every search writes its result into; valid until the next search.
extern CommandEntry search_result;

// Merges the "commands" section of the ini file at `path` into custom_commands: a name
// already known (A-Z folded) takes this file's spelling and value and keeps its place;
// values of only white space are skipped. Problems are traced, never fatal.
void read_commands(const char16_t* path);

// The custom command called `name` (A-Z folded), else the program found by
// search_path_with_extensions, else null.
const CommandEntry* resolve_command_name(const char16_t* name);

// The text that starts the child's command line for a resolved command. A path found by
// the search, and a custom command's value that as a whole names an existing file (the
// ini reader strips the quotes a user put around such a path), is quoted when it holds
// a blank (quoted_if_blank); any other value is used as the user wrote it: a value with
// arguments must quote its own path.
const char16_t* command_line_start(const CommandEntry* entry);

// Looks for the program `name` where find_program (child/program.h) looks: as written
// when it holds a ".", otherwise with each extension of PATHEXT in turn (none when
// PATHEXT is unset). The result is search_result, or null when nothing was found.
const CommandEntry* search_path_with_extensions(const char16_t* name);

// Stores in `*buffer` a new heap copy of the variable `name` (the caller releases it);
// 0 on success, non-zero when the variable is absent or no copy could be made.
int read_env_var_heap(char16_t** buffer, const char16_t* name);

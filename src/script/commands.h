// Custom commands from the "commands" section of zk.ini, and the search-path lookup.
// Portable code only.
#pragma once

// Merges the "commands" section of the ini file at `path` into the custom commands: a
// name already known (A-Z folded) takes the new spelling and value and keeps its place.
void read_commands(const char16_t* path);

// Entries in use in the custom command table.
extern int custom_command_count;

// Shebang interpretation: from the script's first line to the interpreter that runs it.
// Portable code only.
#pragma once

#include "script/header.h"

struct ShebangCommand {
    char16_t* command;    // in the header's text, the invented line, or a CommandEntry
    char16_t* arguments;  // the shebang's own arguments; null or empty for none
    bool is_virtual;      // a row of virtual_commands matched
    bool search_path;     // that row searches PATH first when no version follows
    // The full path of the program a search found for a command that is not virtual;
    // null when the command line's first word names it (a custom command's value, a line
    // run as written).
    const char16_t* program = nullptr;
};

// Splits the first line into a command and its arguments, cutting `header.text` in
// place. A line without "#!" is replaced by an invented one naming zelkor.exe in the
// parent directory of the script's directory. False when the line names nothing.
bool parse_shebang(ScriptHeader& header, const char16_t* script_path, ShebangCommand& command);

// Runs the command: a virtual command through PATH or the installed interpreters (exit
// 102 for a malformed version, 103 when none is installed), any other as resolved.
// Never returns.
[[noreturn]] void run_shebang_command(ShebangCommand& command, const char16_t* new_command_line);

// True for "", "D", "D.D" and "D.D-32" (D a digit).
bool check_version_spec(const char16_t* version);

// A reader of command lines for the tests: how a Windows program's C runtime and
// CommandLineToArgvW split a command line into arguments, how every caller writes one
// (the inverse), and a small model of how cmd.exe reads the line it is started with and
// hands a batch file its arguments. Written from cmd's own documentation (cmd /?, and the
// batch parameters %1 and %~1) and Microsoft's "Parsing C command-line arguments", so
// that a test holds the launcher's batch-file lines to Windows' cmd, which this machine
// cannot run. Test code only.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace cmd_model {

// The arguments of `tail` (a command line after its program) as CommandLineToArgvW reads
// them: blanks and tabs between arguments outside quotes; 2n backslashes and a quote give
// n backslashes and open or close quotes, 2n+1 give n and a literal quote; inside quotes
// two quotes in a row give a literal quote and close them.
std::vector<std::u16string> split_arguments(const std::u16string& tail);

// `arguments` written as a caller writes them for split_arguments to read back: plain when
// they need nothing, else in quotes with each quote escaped and the backslashes before a
// quote (or before the closing one) doubled; an empty one as "".
std::u16string join_arguments(const std::vector<std::u16string>& arguments);

// What cmd makes of a line it is started with.
struct Reading {
    std::u16string error;  // why the line is no cmd line (then nothing else is set)
    bool s_switch = false, d_switch = false, extensions_on = false, delayed_off = false;
    std::u16string command_text;  // what /c leaves once its quote rule has run
    // %NAME% met while expanding: each counts, whether cmd replaced it or kept it as
    // written (Windows keeps an undefined one; this Wine makes it empty).
    std::vector<std::u16string> variables;
    // & | < > ( ) met outside quotes, where cmd starts another command or a redirection.
    std::u16string separators;
    // The first command: its program (the first token, quotes removed) and the arguments
    // the batch file finds in %1..%N (quotes kept, as cmd hands them).
    std::u16string program;
    std::vector<std::u16string> arguments;
};

// Reads `command_line`, the whole line cmd.exe is started with (its own path first), as
// cmd reads it: its switches up to /c; at most 8191 characters after it; the /c rule (with /s the first and the last quote
// of the rest removed; without it the same, unless the rest holds exactly two quotes with
// blanks, and none of & < > ( ) @ ^ | between them); %NAME% expanded from `environment`
// (an undefined name kept as written); ^ outside quotes escaping the next unit; the
// first command's tokens split at blanks, tabs, "," ";" "=" outside quotes.
Reading read(const std::u16string& command_line, const std::map<std::u16string, std::u16string>& environment = {});

// A batch file's %~1 of the argument `raw` (as in Reading::arguments): a leading and an
// ending quote removed, nothing else; a quote doubled inside stays doubled ("a""b" is
// a""b), since cmd has no way to hand a batch file a lone quote inside a quoted argument.
std::u16string unquoted(const std::u16string& raw);

// What %~1 gives for `argument` written for cmd as the launcher writes it: the argument
// with each quote doubled, the rest as it stands.
std::u16string as_handed(const std::u16string& argument);

}  // namespace cmd_model

// env's own words in a first line written for other systems: "/usr/bin/env -S zelkor -X
// utf8", "/usr/bin/env ZELKORWARNINGS=ignore zelkor3", "/usr/bin/env -u ZELKORHOME
// zelkor". Elsewhere a first line passes a single argument to its program, so such
// scripts put env's options and variables before the command, and env -S splits the rest.
// Portable code only.
#pragma once

// What follows env's words: the command, its quotes removed, and its arguments, each
// written for a Windows command line (quoted where it holds a blank, a tab or a quote, or
// is empty) and joined by blanks. Both kept for the run.
struct EnvCommand {
    const char16_t* command = nullptr;  // null: the words name no command
    const char16_t* arguments = u"";    // "" for none
};

// Reads the words at `text` (what follows "/usr/bin/env " and its blanks): blanks between
// them, single and double quotes grouping, ${NAME} from the environment (a word that is
// only an unset or empty ${NAME} is none, as env makes none), "#" at a word's start ending
// the words. After -S, -Sx or --split-string[=]x, as env -S reads its string: backslash
// escapes outside single quotes (\" \# \$ \' \\ \_ \c \f \n \r \t \v) and inside them \' and
// \\; before it a backslash is a backslash, so that a Windows path can be a value
// (ZKHOME="C:\Program Files\Zelkor"). Then, as env does, in any order before the command:
// -S and its forms (passed over: the words are split already); NAME=VALUE; -u NAME,
// -uNAME, --unset NAME, --unset=NAME (a variable that is not there removed is no fault);
// "--" ending the options.
//
// False when the text begins with none of env's words: the line keeps its plain reading.
// Otherwise every word is read before anything changes: an unsupported option, a quote
// left open, or an escape or "$" env does not know ends the run with 102 naming `line`,
// the script's first line. Then the variables change in the order written (a change that
// Windows refuses ends the run with 102, nothing started), and `*found` holds the
// command that follows the words.
bool read_env_words(const char16_t* text, const char16_t* line, EnvCommand* found);

// Shebang interpretation. Portable code only.
#include "script/shebang.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/child.h"
#include "discovery/selection.h"
#include "script/commands.h"

namespace {

struct VirtualCommand {
    const char16_t* name;  // every name ends with the word "zelkor"
    bool search_path;
};

constexpr VirtualCommand virtual_commands[] = {
    {u"/usr/bin/env zelkor", true}, {u"/usr/bin/zelkor", false}, {u"/usr/local/bin/zelkor", false},
    {u"zelkor", false},             {nullptr, false}};

// "/usr/bin/env " must come before "/usr/bin/", which would leave "env" as the name.
constexpr const char16_t* shebang_prefixes[] = {u"/usr/bin/env ", u"/usr/bin/", u"/usr/local/bin/", nullptr};

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool ends_name(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

char16_t* skip_space(char16_t* s) {
    while (text::is_space(*s)) ++s;
    return s;
}

// "#!" and zelkor.exe in the parent directory of the script's directory, or null when the
// path gives none. The interpreter path is quoted when it holds a blank: unquoted, the
// system would try to start the path's first word as a program of its own.
char16_t* invent_line(const char16_t* script_path) {
    text::Growable line, path, interpreter;
    text::assign(path, script_path);
    if (path.length == 0) return nullptr;
    for (char16_t* c = path.data; *c != 0; ++c)
        if (*c == u'/') *c = u'\\';

    const char16_t* rest = path.data;
    if (path.data[1] == u':') {
        text::assign_n(interpreter, path.data, 2);  // the drive
        rest = path.data + 2;
    } else {
        text::assign(interpreter, u"");
    }
    const char16_t* last_backslash = text::find_last(rest, u'\\');
    size_t directory_length = last_backslash == nullptr ? 0 : size_t(last_backslash - rest) + 1;
    // Drop the last component, keeping the backslash before it; the root stays the root.
    if (directory_length > 1) {
        size_t i = directory_length - 1;  // the trailing backslash
        while (i > 0 && rest[i - 1] != u'\\') --i;
        directory_length = i;
    }
    text::append_n(interpreter, rest, directory_length);
    text::append(interpreter, u"zelkor.exe");
    text::format(line, u"#!%s", text::quoted_if_blank(interpreter.data));
    trace(u"invented shebang: %s\n", line.data);
    text::release(path);
    text::release(interpreter);
    return line.data;
}

// Removes the trailing white space of `s` in place.
void trim_end(char16_t* s) {
    char16_t* end = s + text::length(s);
    while (end > s && text::is_space(end[-1])) --end;
    *end = 0;
}

// ---- env's own words ---------------------------------------------------------------------
//
// Elsewhere a first line passes one argument to its program, so scripts shared with those
// systems write env's options and variables before the command: "/usr/bin/env -S zelkor
// -X utf8", "/usr/bin/env ZELKORWARNINGS=ignore zelkor", "/usr/bin/env -u ZELKORHOME
// zelkor". They are read as env reads them; the command that follows is then read as if
// it had followed "/usr/bin/env " alone.

size_t word_length(const char16_t* p) {
    size_t n = 0;
    while (p[n] != 0 && !text::is_blank(p[n])) ++n;
    return n;
}

bool starts_with(const char16_t* p, const char16_t* prefix) {
    return text::compare_n(p, prefix, text::length(prefix)) == 0;
}

// Sets (a value) or removes (null) the variable of `name_length` units at `name`, for
// the launcher and so for the child.
void set_variable(const char16_t* name, size_t name_length, const char16_t* value) {
    text::Growable n;
    text::assign_n(n, name, name_length);
    if (value != nullptr)
        trace(u"parse_shebang: env sets %ls=%ls\n", n.data, value);
    else
        trace(u"parse_shebang: env removes %ls\n", n.data);
    if (!platform::set_environment_variable(n.data, value))
        trace(u"parse_shebang: env cannot change %ls: error %d\n", n.data,
              static_cast<int32_t>(platform::get_last_error()));
    text::release(n);
}

struct EnvWords {
    char16_t* command = nullptr;             // the text from the command on; null: none
    const char16_t* unsupported = nullptr;   // the word of an option that is not supported
    bool any = false;                         // whether any of env's words was read
};

// Reads env's words from `p` up to the command: -S (alone, joined, --split-string[=]) is
// passed over, since the launcher holds the whole line already; NAME=VALUE sets a
// variable (double quotes in the value hold blanks); -u NAME, -uNAME and --unset[=]NAME
// remove one; -- ends the options. With `apply`, the variables change in the order
// written.
EnvWords read_env_words(char16_t* p, bool apply) {
    EnvWords words;
    bool options = true;
    for (;;) {
        while (text::is_blank(*p)) ++p;
        if (*p == 0) return words;
        size_t n = word_length(p);
        if (options && p[0] == u'-') {
            words.any = true;
            const char16_t* name = nullptr;
            if (n == 2 && p[1] == u'-') {
                options = false;
                p += n;
                continue;
            }
            if (starts_with(p, u"-S")) {
                p += 2;
                continue;
            }
            if (starts_with(p, u"--split-string") && (n == 14 || p[14] == u'=')) {
                p += n == 14 ? n : 15;
                continue;
            }
            if (starts_with(p, u"-u") && n > 2) {
                name = p + 2;
            } else if (starts_with(p, u"--unset=") && n > 8) {
                name = p + 8;
            } else if ((n == 2 && p[1] == u'u') || (n == 7 && starts_with(p, u"--unset"))) {
                p += n;  // the name is the next word
                while (text::is_blank(*p)) ++p;
                if (*p == 0) return words;  // no name, and so no command
                name = p;
                n = word_length(p);
            } else {
                words.unsupported = p;
                return words;
            }
            size_t name_length = static_cast<size_t>(p + n - name);
            if (apply) set_variable(name, name_length, nullptr);
            p += n;
            continue;
        }
        // NAME=VALUE: a word holding "=" after a non-empty name.
        size_t name_length = 0;
        while (name_length < n && p[name_length] != u'=' && p[name_length] != u'"') ++name_length;
        if (name_length == 0 || name_length == n || p[name_length] != u'=') {
            words.command = p;
            return words;
        }
        words.any = true;
        text::Growable value;
        text::assign(value, u"");
        const char16_t* v = p + name_length + 1;
        for (bool quoted = false; *v != 0 && (quoted || !text::is_blank(*v)); ++v) {
            if (*v == u'"')
                quoted = !quoted;
            else
                text::append_n(value, v, 1);
        }
        if (apply) set_variable(p, name_length, value.data);
        text::release(value);
        p = const_cast<char16_t*>(v);
    }
}

// Reads env's words at `name`, behind "/usr/bin/env ": false when there are none (the
// line keeps its meaning as it was). An option that is not supported ends the run (102)
// before anything is changed or started. Otherwise `*command` is the text from the
// command on, the variables changed, or null when no command follows the words.
bool read_env_prefix(char16_t* name, const char16_t* line, char16_t** command) {
    EnvWords words = read_env_words(name, false);
    if (!words.any) return false;
    if (words.unsupported != nullptr) {
        text::Growable option;
        text::assign_n(option, words.unsupported, word_length(words.unsupported));
        fail(exit_bad_shebang,
             u"Unsupported option of env: '%ls'.\nIn the first line of the script, '%ls', '/usr/bin/env' may be "
             u"followed only by -S, -u NAME, NAME=VALUE and -- before the command.\nPlease check the documentation.",
             option.data, line);
    }
    *command = words.command;
    if (words.command == nullptr) return true;
    read_env_words(name, true);
    trim_end(words.command);
    trace(u"parse_shebang: env runs %ls\n", words.command);
    return true;
}

// Where the command's name begins: after a prefix ("/usr/bin/env " and the blanks after
// it, "/usr/bin/", "/usr/local/bin/", A-Z folded), or at the start of the text.
char16_t* name_after_prefix(char16_t* text_start, bool* env_prefix) {
    for (const char16_t* const* prefix = shebang_prefixes; *prefix != nullptr; ++prefix) {
        size_t n = text::length(*prefix);
        if (text::compare_folded_n(text_start, *prefix, n) != 0) continue;
        *env_prefix = prefix == shebang_prefixes;
        return *env_prefix ? skip_space(text_start + n) : text_start + n;
    }
    return text_start;
}

// The command named at `name` (its name ends at a blank, tab, CR or LF): a custom command
// or a program the search finds, with the rest of the line as its arguments; else the
// whole text, run as written.
void resolve_named_command(char16_t* text_start, char16_t* name, ShebangCommand& command) {
    char16_t* end = name;
    while (*end != 0 && !ends_name(*end)) ++end;
    char16_t delimiter = *end;
    *end = 0;
    const CommandEntry* found = resolve_command_name(name);
    *end = delimiter;
    if (found == nullptr) {
        command.command = text_start;
        return;
    }
    command.command = const_cast<char16_t*>(command_line_start(found));
    // A path the search found is the program; a custom command's value names one in its
    // first word.
    if (found == &search_result) command.program = found->value;
    command.arguments = delimiter != 0 ? skip_space(end) : nullptr;
}

}  // namespace

bool parse_shebang(ScriptHeader& header, const char16_t* script_path, ShebangCommand& command) {
    char16_t* line = header.text;
    if (line[0] != u'#' || line[1] != u'!') {
        trace(u"parse_shebang called without a valid shebang %s (for argv0 %s)\n", header.text, script_path);
        line = invent_line(script_path);
        if (line == nullptr) return false;
    }
    char16_t* text_start = skip_space(line + 2);
    if (*text_start == 0) return false;
    command = ShebangCommand{};

    for (const VirtualCommand* row = virtual_commands; row->name != nullptr; ++row) {
        if (text::compare_n(text_start, row->name, text::length(row->name)) == 0) {
            command.command = const_cast<char16_t*>(text::find_text(text_start, u"zelkor"));
            command.is_virtual = true;
            command.search_path = row->search_path;
            break;
        }
    }
    if (!command.is_virtual) {
        bool env_prefix = false;
        char16_t* name = name_after_prefix(text_start, &env_prefix);
        char16_t* after_env = nullptr;
        bool env_words = env_prefix && read_env_prefix(name, line, &after_env);
        if (env_words && after_env == nullptr) {
            command.command = text_start;  // env's words and no command: the line as written
        } else if (env_words && starts_with(after_env, u"zelkor")) {
            // As if it had followed "/usr/bin/env " alone: the first virtual command.
            command.command = after_env;
            command.is_virtual = true;
            command.search_path = true;
        } else {
            resolve_named_command(text_start, env_words ? after_env : name, command);
        }
    }
    trim_end(text_start);
    trace(u"parse_shebang: found command: %ls\n", command.command);
    return true;
}

bool check_version_spec(const char16_t* v) {
    if (v[0] == 0) return true;
    if (!is_digit(v[0])) return false;
    if (v[1] == 0) return true;
    if (v[1] != u'.' || !is_digit(v[2])) return false;
    return v[3] == 0 || text::compare(v + 3, u"-32") == 0;
}

[[noreturn]] void run_shebang_command(ShebangCommand& command, const char16_t* new_command_line) {
    if (!command.is_virtual) launch_with_args(command.command, command.arguments, new_command_line, command.program);

    // A virtual command: "zelkor", its version, then after the first blank its arguments.
    if (char16_t* blank = text::find(command.command, u' ')) {
        *blank = 0;
        command.arguments = skip_space(blank + 1);
    }
    const char16_t* version = command.command + 6;
    if (command.search_path && (version[0] == 0 || text::is_space(version[0]))) {
        trace(u"searching PATH for zelkor executable\n");
        if (const CommandEntry* found = search_path_with_extensions(u"zelkor.exe")) {
            trace(u"Zelkor on path: %ls\n", found->value);
            trace(u"located zelkor on PATH: %ls\n", found->value);
            launch_with_args(text::quoted_if_blank(found->value), command.arguments, new_command_line, found->value);
        }
        trace(u"Zelkor on path: %ls\n", u"<not found>");
    }
    if (!check_version_spec(version))
        fail(exit_bad_shebang,
             u"Invalid version specification: '%ls'.\nIn the first line of the script, 'zelkor' needs to be "
             u"followed by a valid version specifier.\nPlease check the documentation.",
             version);
    const InstalledInterpreter* found = select_interpreter(version, true);
    if (found == nullptr) fail(exit_no_interpreter, u"Requested Zelkor version (%ls) is not installed", version);
    launch_with_args(found->executable, command.arguments, new_command_line, found->path);
}

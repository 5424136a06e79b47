// Shebang interpretation. Portable code only.
#include "script/shebang.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/child.h"
#include "discovery/selection.h"
#include "script/commands.h"
#include "script/env_words.h"

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

// The command a search or the custom commands found, with `arguments` as its own.
void use_found_command(const CommandEntry* found, char16_t* arguments, ShebangCommand& command) {
    command.command = const_cast<char16_t*>(command_line_start(found));
    // A path the search found is the program; a custom command's value names one in its
    // first word.
    if (found == &search_result) command.program = found->value;
    command.arguments = arguments;
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
    if (found == nullptr)
        command.command = text_start;
    else
        use_found_command(found, delimiter != 0 ? skip_space(end) : nullptr, command);
}

// The command that follows env's words, read as if it had followed "/usr/bin/env " alone:
// "zelkor..." the first virtual command, with its PATH road; a custom command or a
// program the search finds; else the whole text, run as written (as is a line whose
// words name no command).
void use_env_command(char16_t* text_start, const EnvCommand& env, ShebangCommand& command) {
    auto* arguments = const_cast<char16_t*>(env.arguments);
    const CommandEntry* found = nullptr;
    if (env.command != nullptr && text::compare_n(env.command, u"zelkor", 6) == 0) {
        // The arguments come apart from the command: a blank the command holds stays its.
        command.command = const_cast<char16_t*>(env.command);
        command.arguments = arguments;
        command.is_virtual = true;
        command.search_path = true;
    } else if (env.command != nullptr && (found = resolve_command_name(env.command)) != nullptr) {
        use_found_command(found, arguments, command);
    } else {
        command.command = text_start;
    }
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
        EnvCommand env;
        if (env_prefix && read_env_words(name, line, &env))
            use_env_command(text_start, env, command);
        else
            resolve_named_command(text_start, name, command);
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

    // A virtual command: "zelkor", its version, then after the first blank its arguments
    // (unless they came apart, from env's words).
    char16_t* blank = command.arguments == nullptr ? text::find(command.command, u' ') : nullptr;
    if (blank != nullptr) {
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

// env's own words, read as env -S reads them. Portable code only.
#include "script/env_words.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "platform/platform.h"

namespace {

bool starts_with(const char16_t* p, const char16_t* prefix) {
    return text::compare_n(p, prefix, text::length(prefix)) == 0;
}
bool is_name_start(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_'; }
bool is_name_unit(char16_t c) { return is_name_start(c) || (c >= u'0' && c <= u'9'); }

// The words of a first line, read one at a time.
struct Reader {
    const char16_t* p = nullptr;  // the next unit of the text
    bool ended = false;        // a comment or \c ended the words
    // After -S (or --split-string) backslashes are env -S's escapes; before it, as in a
    // Windows path given as a value, a backslash is a backslash.
    bool split = false;
    text::Growable problem;    // why the text is not env's; empty while it is
};

// ${NAME} at r.p (its "$") expanded into `word`: the variable's value, nothing when it is
// unset. False (the problem said) for any other "$": env knows no other expansion.
bool expand(Reader& r, text::Growable& word) {
    const char16_t* open = r.p + 1;
    if (*open == u'{' && is_name_start(open[1])) {
        const char16_t* close = open + 2;
        while (is_name_unit(*close)) ++close;
        if (*close == u'}') {
            text::Growable name;
            text::assign_n(name, open + 1, static_cast<size_t>(close - open - 1));
            if (const char16_t* value = read_env_var(name.data)) text::append(word, value);
            text::release(name);
            r.p = close + 1;
            return true;
        }
    }
    text::format(r.problem, u"only ${NAME} is expanded, not '%ls'", r.p);
    return false;
}

// The unit an escape \c (c not a quote, "#", "$" or "\") stands for; 0 for none.
char16_t escaped(char16_t c) {
    switch (c) {
    case u'f': return u'\f';
    case u'n': return u'\n';
    case u'r': return u'\r';
    case u't': return u'\t';
    case u'v': return u'\v';
    default: return 0;
    }
}

// Reads the next word into `word`, its quotes and escapes resolved; `*made` tells whether
// it is one: quotes, or a unit beyond an expansion that gave nothing. False when no word
// follows (the end of the text, a comment, \c), or when the text is not env's (then
// r.problem says why).
bool read_word(Reader& r, text::Growable& word, bool* made) {
    text::assign(word, u"");
    bool started = false, single = false, double_quoted = false;
    for (;;) {
        char16_t c = *r.p;
        bool escape = c == u'\\' && r.split;
        if (!started) {
            // Blanks and \_ separate words; "#" and \c at a word's start end them all.
            if (text::is_space(c) || (escape && r.p[1] == u'_')) {
                r.p += c == u'\\' ? 2 : 1;
                continue;
            }
            if (r.ended || c == 0 || c == u'#' || (escape && r.p[1] == u'c')) {
                r.ended = true;
                return false;
            }
            started = true;
        }
        if (c == 0) {
            if (single || double_quoted) text::assign(r.problem, u"a quote is not closed");
            return !single && !double_quoted;
        }
        if (!single && !double_quoted && text::is_space(c)) return true;
        if (c == u'\'' && !double_quoted) {
            single = !single;
            *made = true;
            ++r.p;
            continue;
        }
        if (c == u'"' && !single) {
            double_quoted = !double_quoted;
            *made = true;
            ++r.p;
            continue;
        }
        if (c == u'$' && !single) {
            size_t before = word.length;
            if (!expand(r, word)) return false;
            *made = *made || word.length != before;
            continue;
        }
        *made = true;
        // Inside single quotes only \' and \\ are escapes.
        if (!escape || (single && r.p[1] != u'\'' && r.p[1] != u'\\')) {
            text::append_n(word, r.p++, 1);
            continue;
        }
        char16_t e = r.p[1];
        if (e == u'"' || e == u'#' || e == u'$' || e == u'\'' || e == u'\\') {
            text::append_n(word, &e, 1);
        } else if (e == u'_' && double_quoted) {
            text::append(word, u" ");
        } else if (e == u'_' || (e == u'c' && !double_quoted)) {
            r.p += 2;
            r.ended = e == u'c';
            return true;
        } else if (char16_t unit = escaped(e)) {
            text::append_n(word, &unit, 1);
        } else {
            if (e == 0) {
                text::assign(r.problem, u"a backslash ends the line");
            } else if (e == u'c') {
                text::assign(r.problem, u"\\c inside double quotes");
            } else {
                bool pair = e >= 0xD800 && e <= 0xDBFF && r.p[2] >= 0xDC00 && r.p[2] <= 0xDFFF;
                text::assign(r.problem, u"\\");
                text::append_n(r.problem, r.p + 1, pair ? 2 : 1);
                text::append(r.problem, u" is no escape of env");
            }
            return false;
        }
        r.p += 2;
    }
}

// The next word, as read_word reads it. ${NAME} alone, unset or empty, makes no word of
// its own, as env makes none: the word after it is read.
bool next_word(Reader& r, text::Growable& word) {
    for (;;) {
        bool made = false;
        if (!read_word(r, word, &made)) return false;
        if (made) return true;
    }
}

// Appends `word` to `line` as CommandLineToArgvW and the C runtime will read it back: as
// it is, or in double quotes with a quote escaped and the backslashes before a quote
// (or before the closing one) doubled.
void append_argument(text::Growable& line, const text::Growable& word) {
    bool plain = word.length != 0;
    for (size_t i = 0; plain && i < word.length; ++i) plain = !text::is_space(word.data[i]) && word.data[i] != u'"';
    if (line.length != 0) text::append(line, u" ");
    if (plain) {
        text::append_n(line, word.data, word.length);
        return;
    }
    text::append(line, u"\"");
    size_t backslashes = 0;
    for (size_t i = 0; i <= word.length; ++i) {
        char16_t c = i < word.length ? word.data[i] : u'"';
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        size_t n = c == u'"' ? 2 * backslashes + (i < word.length) : backslashes;
        for (size_t k = 0; k < n; ++k) text::append(line, u"\\");
        text::append_n(line, &c, 1);
        backslashes = 0;
    }
}

[[noreturn]] void fail_words(const char16_t* problem, const char16_t* line) {
    fail(exit_bad_shebang,
         u"Invalid words of env: %ls.\nIn the first line of the script, '%ls', the words after '/usr/bin/env' are read "
         u"as env -S reads them.\nPlease check the documentation.",
         problem, line);
}

[[noreturn]] void fail_unsupported(const char16_t* option, const char16_t* line) {
    fail(exit_bad_shebang,
         u"Unsupported option of env: '%ls'.\nIn the first line of the script, '%ls', '/usr/bin/env' may be followed "
         u"only by -S, -u NAME, NAME=VALUE and -- before the command.\nPlease check the documentation.",
         option, line);
}

// The changes the words ask for, in order: "+NAME=VALUE" sets, "-NAME" removes, each
// terminated. Applied once every word has been read.
void add_change(text::Growable& changes, char16_t kind, const char16_t* text) {
    text::append_n(changes, &kind, 1);
    text::append(changes, text);
    text::reserve(changes, changes.length + 1);
    changes.data[++changes.length] = 0;  // the entry's terminator kept, the whole still terminated
}

// Whether `word` (up to a blank) is an option the launcher reads: "--" and the forms of
// -u. -S and --split-string are passed over before a word is read.
bool is_known_option(const char16_t* word, size_t n) {
    auto is = [&](const char16_t* option) { return n == text::length(option) && starts_with(word, option); };
    return is(u"--") || is(u"-u") || is(u"--unset") || (n > 2 && starts_with(word, u"-u")) ||
           (n > 8 && starts_with(word, u"--unset="));
}

void apply_changes(const text::Growable& changes, const char16_t* line) {
    text::Growable name;
    for (const char16_t* entry = changes.data; entry < changes.data + changes.length;
         entry += text::length(entry) + 1) {
        const char16_t* value = nullptr;
        if (entry[0] == u'+') {
            value = text::find(entry, u'=') + 1;
            text::assign_n(name, entry + 1, static_cast<size_t>(value - entry - 2));
            trace(u"parse_shebang: env sets %ls=%ls\n", name.data, value);
        } else {
            text::assign(name, entry + 1);
            trace(u"parse_shebang: env removes %ls\n", name.data);
        }
        // Windows refuses to remove a variable that is not there (ERROR_ENVVAR_NOT_FOUND):
        // for env, removing it has then succeeded.
        constexpr uint32_t error_envvar_not_found = 203;
        if (!platform::set_environment_variable(name.data, value) &&
            (value != nullptr || platform::get_last_error() != error_envvar_not_found))
            fail(exit_bad_shebang,
                 u"Unable to change the variable '%ls' of env (error %d).\nIn the first line of the script, '%ls', "
                 u"'/usr/bin/env' sets or removes a variable as Windows does not allow.\nPlease check the "
                 u"documentation.",
                 name.data, static_cast<int32_t>(platform::get_last_error()), line);
    }
    text::release(name);
}

}  // namespace

bool read_env_words(const char16_t* source, const char16_t* line, EnvCommand* found) {
    Reader r;
    r.p = source;
    text::Growable word, changes, arguments;
    bool any = false, options = true;
    for (;;) {
        while (text::is_space(*r.p)) ++r.p;
        // -S splits what follows into words, which the launcher does anyway: passed over.
        if (options && starts_with(r.p, u"-S")) {
            any = r.split = true;
            r.p += 2;
            continue;
        }
        if (options && starts_with(r.p, u"--split-string") &&
            (r.p[14] == 0 || text::is_space(r.p[14]) || r.p[14] == u'=')) {
            any = r.split = true;
            r.p += r.p[14] == u'=' ? 15 : 14;
            continue;
        }
        // An option the launcher cannot honour is named as written, before its words are read.
        if (options && *r.p == u'-') {
            size_t n = 0;
            while (r.p[n] != 0 && !text::is_space(r.p[n])) ++n;
            if (!is_known_option(r.p, n)) {
                text::assign_n(word, r.p, n);
                fail_unsupported(word.data, line);
            }
        }
        if (!next_word(r, word)) {
            if (r.problem.length == 0) break;  // no command follows
            if (!any) return false;
            fail_words(r.problem.data, line);
        }
        if (options && word.data[0] == u'-') {
            any = true;
            if (text::compare(word.data, u"--") == 0) {
                options = false;
                continue;
            }
            if (text::compare(word.data, u"-S") == 0 || text::compare(word.data, u"--split-string") == 0) {
                r.split = true;
                continue;
            }
            if (starts_with(word.data, u"-u") && word.length > 2) {
                add_change(changes, u'-', word.data + 2);
            } else if (starts_with(word.data, u"--unset=") && word.length > 8) {
                add_change(changes, u'-', word.data + 8);
            } else if (text::compare(word.data, u"-u") == 0 || text::compare(word.data, u"--unset") == 0) {
                if (!next_word(r, word)) {  // no name, and so no command
                    if (r.problem.length != 0) fail_words(r.problem.data, line);
                    break;
                }
                add_change(changes, u'-', word.data);
            } else {
                fail_unsupported(word.data, line);
            }
            continue;
        }
        // NAME=VALUE: a word holding "=" after a name of at least one unit.
        const char16_t* equals = text::find(word.data, u'=');
        if (equals != nullptr && equals != word.data) {
            any = true;
            add_change(changes, u'+', word.data);
            continue;
        }
        if (!any) return false;
        found->command = text::kept_copy(word.data);
        while (next_word(r, word)) append_argument(arguments, word);
        if (r.problem.length != 0) fail_words(r.problem.data, line);
        found->arguments = text::kept_copy(text::c_str(arguments));
        break;
    }
    text::release(word);
    text::release(arguments);
    if (!any) return false;
    // The variables change only once a command follows them.
    if (found->command != nullptr) {
        apply_changes(changes, line);
        trace(u"parse_shebang: env runs %ls%ls%ls\n", found->command, found->arguments[0] != 0 ? u" " : u"",
              found->arguments);
    }
    text::release(changes);
    return true;
}

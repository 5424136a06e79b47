// The readers of command lines: the C runtime's and CommandLineToArgvW's split, its
// inverse, and cmd.exe's reading of its own line. Test code only.
#include "support/cmd_model.h"

namespace cmd_model {

namespace {

bool blank(char16_t c) { return c == u' ' || c == u'\t'; }

// Where cmd's batch parameters end outside quotes: its delimiters.
bool delimiter(char16_t c) {
    return blank(c) || c == u',' || c == u';' || c == u'=' || c == u'\v' || c == u'\f' || c == 0xA0;
}

bool operator_unit(char16_t c) { return std::u16string_view(u"&|<>()").find(c) != std::u16string_view::npos; }

bool equal_folded(const std::u16string& a, const char16_t* b) {
    std::u16string_view v(b);
    if (a.size() != v.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? char16_t(a[i] + 32) : a[i];
        if (x != v[i]) return false;
    }
    return true;
}

// The /c rule of cmd /?: quotes kept only without /s, for exactly two quotes with a blank
// and none of & < > ( ) @ ^ | between them; otherwise a leading quote removed with the
// last quote of the line.
std::u16string apply_c_rule(const std::u16string& rest, bool s_switch) {
    size_t first = rest.find(u'"'), last = rest.rfind(u'"');
    size_t quotes = 0;
    for (char16_t c : rest) quotes += c == u'"';
    if (!s_switch && quotes == 2) {
        std::u16string between = rest.substr(first + 1, last - first - 1);
        bool special = between.find_first_of(u"&<>()@^|") != std::u16string::npos;
        bool has_blank = between.find_first_of(u" \t") != std::u16string::npos;
        if (!special && has_blank) return rest;
    }
    if (rest.empty() || rest[0] != u'"') return rest;
    std::u16string r = rest.substr(1);
    size_t closing = r.rfind(u'"');
    if (closing != std::u16string::npos) r.erase(closing, 1);
    return r;
}

// %NAME% expanded from `environment`; an undefined name kept as written.
std::u16string expand(const std::u16string& text, const std::map<std::u16string, std::u16string>& environment,
                      std::vector<std::u16string>& variables) {
    std::u16string r;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
        if (close == std::u16string::npos || close == i + 1) {
            r += text[i];
            continue;
        }
        std::u16string name = text.substr(i + 1, close - i - 1);
        variables.push_back(name);
        auto found = environment.find(name);
        r += found != environment.end() ? found->second : text.substr(i, close - i + 1);
        i = close;
    }
    return r;
}

}  // namespace

std::vector<std::u16string> split_arguments(const std::u16string& tail) {
    std::vector<std::u16string> arguments;
    size_t i = 0;
    for (;;) {
        while (i < tail.size() && blank(tail[i])) ++i;
        if (i == tail.size()) return arguments;
        std::u16string argument;
        bool quoted = false;
        while (i < tail.size() && (quoted || !blank(tail[i]))) {
            size_t backslashes = 0;
            while (i < tail.size() && tail[i] == u'\\') ++backslashes, ++i;
            if (i == tail.size() || tail[i] != u'"') {
                argument.append(backslashes, u'\\');
                if (i < tail.size() && backslashes == 0) argument += tail[i++];
                continue;
            }
            argument.append(backslashes / 2, u'\\');
            ++i;  // the quote
            if (backslashes % 2 == 1) {
                argument += u'"';
                continue;
            }
            if (quoted && i < tail.size() && tail[i] == u'"') {
                argument += u'"';  // "" inside quotes: a literal quote, and the quotes closed
                ++i;
                quoted = false;
            } else {
                quoted = !quoted;
            }
        }
        arguments.push_back(argument);
    }
}

std::u16string join_arguments(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (const std::u16string& a : arguments) {
        if (!line.empty()) line += u' ';
        if (!a.empty() && a.find_first_of(u" \t\"") == std::u16string::npos) {
            line += a;
            continue;
        }
        line += u'"';
        size_t backslashes = 0;
        for (char16_t c : a) {
            if (c == u'\\') {
                ++backslashes;
                continue;
            }
            line.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
            line += c;
            backslashes = 0;
        }
        line.append(2 * backslashes, u'\\');
        line += u'"';
    }
    return line;
}

Reading read(const std::u16string& command_line, const std::map<std::u16string, std::u16string>& environment) {
    Reading r;
    // cmd.exe's own path.
    size_t i = 0;
    if (!command_line.empty() && command_line[0] == u'"') {
        i = command_line.find(u'"', 1);
        if (i == std::u16string::npos) return r.error = u"cmd's path has no closing quote", r;
        ++i;
    } else {
        while (i < command_line.size() && !blank(command_line[i])) ++i;
    }
    // Its switches, up to /c.
    for (;;) {
        while (i < command_line.size() && blank(command_line[i])) ++i;
        if (i == command_line.size() || command_line[i] != u'/') return r.error = u"no /c", r;
        size_t end = command_line.find_first_of(u" \t/", i + 1);
        if (end == std::u16string::npos) end = command_line.size();
        std::u16string name = command_line.substr(i, end - i);
        i = end;
        if (equal_folded(name, u"/c")) break;
        if (equal_folded(name, u"/s")) r.s_switch = true;
        else if (equal_folded(name, u"/d")) r.d_switch = true;
        else if (equal_folded(name, u"/e:on")) r.extensions_on = true;
        else if (equal_folded(name, u"/v:off")) r.delayed_off = true;
        else return r.error = u"a switch the model does not know: " + name, r;
    }
    while (i < command_line.size() && blank(command_line[i])) ++i;
    if (command_line.size() - i > 8191) return r.error = u"more than the 8191 characters cmd reads after /c", r;
    r.command_text = apply_c_rule(command_line.substr(i), r.s_switch);
    std::u16string text = expand(r.command_text, environment, r.variables);

    // Quotes, the escape and the operators: the first command's units, carets removed.
    std::u16string first;
    bool quoted = false, first_done = false;
    for (size_t k = 0; k < text.size(); ++k) {
        char16_t c = text[k];
        if (c == u'"') {
            quoted = !quoted;
        } else if (!quoted && c == u'^') {
            if (++k == text.size()) break;
            c = text[k];
            if (!first_done) first += c;
            continue;
        } else if (!quoted && operator_unit(c)) {
            r.separators += c;
            first_done = true;
            continue;
        }
        if (!first_done) first += c;
    }

    // Its tokens: the program, then the batch file's parameters.
    std::vector<std::u16string> tokens;
    for (size_t k = 0; k < first.size();) {
        while (k < first.size() && delimiter(first[k])) ++k;
        if (k == first.size()) break;
        std::u16string token;
        bool in_quotes = false;
        for (; k < first.size() && (in_quotes || !delimiter(first[k])); ++k) {
            if (first[k] == u'"') in_quotes = !in_quotes;
            token += first[k];
        }
        tokens.push_back(token);
    }
    if (tokens.empty()) return r.error = u"no command", r;
    for (char16_t c : tokens[0])
        if (c != u'"') r.program += c;
    r.arguments.assign(tokens.begin() + 1, tokens.end());
    return r;
}

std::u16string unquoted(const std::u16string& raw) {
    size_t begin = !raw.empty() && raw.front() == u'"' ? 1 : 0;
    size_t end = raw.size() > begin && raw.back() == u'"' ? raw.size() - 1 : raw.size();
    return raw.substr(begin, end - begin);
}

std::u16string as_handed(const std::u16string& argument) {
    std::u16string r;
    for (char16_t c : argument) {
        if (c == u'"') r += u'"';
        r += c;
    }
    return r;
}

}  // namespace cmd_model

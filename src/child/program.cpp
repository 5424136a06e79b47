// Which program a child is: the launcher's own search, in place of CreateProcessW's.
// Portable code only.
#include "child/program.h"

#include "base/diagnostics.h"
#include "platform/platform.h"

namespace {

text::Growable own_folder, script_folder;
// Read at the first search of a bare name, for the rest of the run (a first line's
// assignment of PATH comes before it).
bool folders_read = false, skips_traced = false;
text::Growable system_folder, windows_folder, path_value;

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }
bool is_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

void read_search_folders() {
    if (folders_read) return;
    folders_read = true;
    text::fill(system_folder, platform::get_system_directory);
    text::fill(windows_folder, platform::get_system_windows_directory);
    const char16_t* path = read_env_var(u"PATH");
    text::assign(path_value, path != nullptr ? path : u"");
}

// Calls `visit(folder, length)` with each folder a bare name is looked for in, in order,
// until it returns true; whether one did.
template <class Visit>
bool each_folder(Visit visit) {
    read_search_folders();
    const text::Growable* const first[] = {&own_folder, &system_folder, &windows_folder};
    for (const text::Growable* folder : first)
        if (folder->length != 0 && visit(folder->data, folder->length)) return true;
    for (const char16_t* entry = text::c_str(path_value);;) {
        const char16_t* end = entry;
        while (*end != 0 && *end != u';') ++end;
        auto n = static_cast<size_t>(end - entry);
        if (text::is_absolute_folder(entry, n)) {
            if (visit(entry, n)) return true;
        } else if (!skips_traced && log_stream != LogStream::none) {
            text::Growable skipped;
            text::assign_n(skipped, entry, n);
            trace(u"find_program: PATH entry '%ls' skipped: not an absolute folder\n", skipped.data);
            text::release(skipped);
        }
        if (*end == 0) break;
        entry = end + 1;
    }
    skips_traced = true;
    return false;
}

bool is_file(const char16_t* path) {
    uint32_t attributes = platform::get_file_attributes(path);
    return attributes != platform::invalid_file_attributes && (attributes & platform::file_attribute_directory) == 0;
}

// The units of `path` that name its root: "C:" of C:\x, "\\server\share" of a network
// path, and so "\\?\C:" of \\?\C:\x and "\\?\Volume{...}" of a volume without a drive
// letter, but "\\?\UNC\server\share" of that form of a network path: ".." never climbs
// from one share, or one server, to another. 0 for anything else.
size_t root_length(const char16_t* path) {
    if (is_letter(path[0]) && path[1] == u':') return 2;
    if (!is_separator(path[0]) || !is_separator(path[1])) return 0;
    size_t i = 2, names = text::compare_folded_n(path, u"\\\\?\\UNC\\", 8) == 0 ? 4 : 2;
    for (size_t name = 0; name < names; ++name) {  // (? and UNC,) the server, the share
        if (name != 0) {
            if (path[i] == 0) return i;
            ++i;
        }
        while (path[i] != 0 && !is_separator(path[i])) ++i;
    }
    return i;
}

// Appends the components of `rest` to `path`, which ends in a root or a component, as
// Windows reads them: "." and empty components are dropped, ".." drops the component
// before it but never the root (the first `root` units), "/" is a separator.
void append_normalised(text::Growable& path, size_t root, const char16_t* rest) {
    while (*rest != 0) {
        while (is_separator(*rest)) ++rest;
        const char16_t* end = rest;
        while (*end != 0 && !is_separator(*end)) ++end;
        auto n = static_cast<size_t>(end - rest);
        if (n == 2 && rest[0] == u'.' && rest[1] == u'.') {
            size_t cut = path.length;
            while (cut > root && path.data[cut - 1] != u'\\') --cut;
            text::truncate(path, cut > root ? cut - 1 : root);
        } else if (n != 0 && !(n == 1 && rest[0] == u'.')) {
            if (path.length != 0) text::append(path, u"\\");
            text::append_n(path, rest, n);
        }
        rest = end;
    }
}

enum class NameKind { bare, relative, rooted, drive_relative, absolute };

NameKind kind_of(const char16_t* name) {
    if (is_separator(name[0])) return is_separator(name[1]) ? NameKind::absolute : NameKind::rooted;
    if (is_letter(name[0]) && name[1] == u':') return is_separator(name[2]) ? NameKind::absolute : NameKind::drive_relative;
    for (const char16_t* c = name; *c != 0; ++c)
        if (is_separator(*c)) return NameKind::relative;
    return NameKind::bare;
}

// Whether the last component of `name` has an extension (a ".").
bool has_extension(const char16_t* name) {
    const char16_t* last = name;
    for (const char16_t* c = name; *c != 0; ++c)
        if (is_separator(*c)) last = c + 1;
    return text::find(last, u'.') != nullptr;
}

// `name`, a relative path, taken from the script's folder.
void resolve_in_script_folder(const char16_t* name, text::Growable& resolved) {
    const char16_t* base = text::c_str(script_folder);
    size_t root = root_length(base);
    text::assign_n(resolved, base, root);
    append_normalised(resolved, root, base + root);
    append_normalised(resolved, root, name);
    if (resolved.length == root) text::append(resolved, u"\\");
}

// Calls `visit(extension)` with each extension to try (null: the name as written), until
// it returns true; whether one did.
template <class Visit>
bool each_extension(const char16_t* name, const char16_t* extensions, Visit visit) {
    if (extensions == nullptr || has_extension(name)) return visit(static_cast<const char16_t*>(nullptr));
    text::Growable item;
    bool found = false;
    for (const char16_t* p = extensions; !found && *p != 0;) {
        const char16_t* end = p;
        while (*end != 0 && *end != u';') ++end;
        if (end != p) {
            text::assign_n(item, p, static_cast<size_t>(end - p));
            found = visit(static_cast<const char16_t*>(item.data));
        }
        p = *end == 0 ? end : end + 1;
    }
    text::release(item);
    return found;
}

// `path` with `extension` appended, into `found`, when that is a file.
bool try_candidate(const char16_t* path, size_t length, const char16_t* name, const char16_t* extension,
                   text::Growable& found) {
    text::assign_n(found, path, length);
    if (name != nullptr) {
        if (length != 0 && !is_separator(path[length - 1])) text::append(found, u"\\");
        text::append(found, name);
    }
    if (extension != nullptr) text::append(found, extension);
    return is_file(found.data);
}

// One trace line for a bare name found nowhere: every folder looked in.
void trace_not_found(const char16_t* name, const char16_t* extensions) {
    if (log_stream == LogStream::none) return;
    text::Growable folders;
    text::assign(folders, u"");
    each_folder([&](const char16_t* folder, size_t n) {
        if (folders.length != 0) text::append(folders, u"; ");
        text::append_n(folders, folder, n);
        return false;
    });
    if (extensions != nullptr && !has_extension(name))
        trace(u"find_program: %ls with %ls not found in %ls\n", name, extensions, folders.data);
    else
        trace(u"find_program: %ls not found in %ls\n", name, folders.data);
    text::release(folders);
}

}  // namespace

void set_program_folders(const char16_t* launcher_folder, const char16_t* script_folder_path) {
    text::assign(own_folder, launcher_folder);
    text::assign(script_folder, script_folder_path);
    folders_read = skips_traced = false;
}

void forget_program_folders() {
    own_folder = script_folder = system_folder = windows_folder = path_value = text::Growable{};
    folders_read = skips_traced = false;
}

bool find_program(const char16_t* name, const char16_t* extensions, text::Growable& found) {
    NameKind kind = kind_of(name);
    if (name[0] == 0) {  // names no file
        text::truncate(found, 0);
        return false;
    }
    // Both name a file through whatever the current folder is: its drive's current folder
    // (D:x), or the root of its drive (\x, /usr/bin/env), where on a default Windows any
    // user may create folders that another user's run would then take a program from.
    if (kind == NameKind::drive_relative || kind == NameKind::rooted) {
        trace(kind == NameKind::rooted
                  ? u"find_program: %ls: a path rooted on no drive, which the current drive decides: not looked for\n"
                  : u"find_program: %ls: a path relative to the current folder of its drive: not looked for\n",
              name);
        text::truncate(found, 0);
        return false;
    }
    if (kind == NameKind::bare) {
        bool hit = each_extension(name, extensions, [&](const char16_t* extension) {
            return each_folder([&](const char16_t* folder, size_t n) {
                return try_candidate(folder, n, name, extension, found);
            });
        });
        if (!hit) trace_not_found(name, extensions);
        return hit;
    }
    text::Growable path;
    if (kind == NameKind::absolute)
        text::assign(path, name);
    else
        resolve_in_script_folder(name, path);
    bool hit = each_extension(name, extensions, [&](const char16_t* extension) {
        return try_candidate(path.data, path.length, nullptr, extension, found);
    });
    if (kind != NameKind::absolute) trace(u"find_program: %ls is the script's: %ls\n", name, path.data);
    if (!hit) {
        if (extensions != nullptr && !has_extension(name))
            trace(u"find_program: %ls with %ls not found\n", path.data, extensions);
        else
            trace(u"find_program: %ls not found\n", path.data);
    }
    text::release(path);
    return hit;
}

bool decide_program(const char16_t* command_line, text::Growable& program, size_t* used) {
    const char16_t* start = command_line;
    while (text::is_blank(*start)) ++start;
    text::Growable name;
    bool found = false;
    if (*start == u'"') {
        const char16_t* close = text::find(start + 1, u'"');
        size_t n = close != nullptr ? static_cast<size_t>(close - start - 1) : text::length(start + 1);
        text::assign_n(name, start + 1, n);
        found = n != 0 && find_program(name.data, u".exe", program);
        *used = static_cast<size_t>(start - command_line) + n + (close != nullptr ? 2 : 1);
    } else {
        // Up to each blank or tab that ends a word, then the whole line.
        for (const char16_t* end = start; !found; ++end) {
            bool ends_word = (*end == 0 || text::is_blank(*end)) && end > start && !text::is_blank(end[-1]);
            if (ends_word) {
                text::assign_n(name, start, static_cast<size_t>(end - start));
                found = find_program(name.data, u".exe", program);
                *used = static_cast<size_t>(end - command_line);
            }
            if (*end == 0) break;
        }
    }
    text::release(name);
    if (!found) text::truncate(program, 0);
    return found;
}

// Custom commands and the search-path lookup. Portable code only.
#include "script/commands.h"

#include "base/diagnostics.h"
#include "base/text.h"
#include "child/program.h"
#include "platform/platform.h"

CommandEntry custom_commands[max_custom_commands];
int custom_command_count = 0;
CommandEntry search_result;

namespace {

// Where GetPrivateProfileStringW starts, and the most it is offered: a value may be as
// long as a path (32,767 units), a list of names longer.
constexpr uint32_t first_size = 1024, largest_size = 1u << 20;

bool only_white_space(const char16_t* s) {
    while (text::is_space(*s)) ++s;
    return *s == 0;
}

CommandEntry* find_custom_command(const char16_t* name) {
    for (int i = 0; i < custom_command_count; ++i)
        if (text::compare_folded(custom_commands[i].key, name) == 0) return &custom_commands[i];
    return nullptr;
}

// Stores `value` under `name` in `entry`, a free slot or the entry of that name, whose
// earlier texts are given back.
void store_command(CommandEntry& entry, const char16_t* name, const char16_t* value) {
    if (entry.key != nullptr) platform::release(const_cast<char16_t*>(entry.key));
    if (entry.value != nullptr) platform::release(const_cast<char16_t*>(entry.value));
    entry.key = text::kept_copy(name);
    entry.value = text::kept_copy(value);
}

// One GetPrivateProfileStringW call into `buffer`, asked again with twice the room while
// the answer fills it (`cut` is what the call returns then: the size less 2 for a list of
// names, less 1 for a value). The count copied; the buffer's size in `*size`.
uint32_t read_profile_text(const char16_t* key, text::Growable& buffer, uint32_t cut, const char16_t* path,
                           uint32_t* size) {
    uint32_t n = 0;
    for (*size = first_size;; *size *= 2) {
        text::reserve(buffer, *size);
        n = platform::get_private_profile_string(u"commands", key, nullptr, buffer.data, *size, path);
        if (n != *size - cut || *size >= largest_size) return n;
    }
}

}  // namespace

void read_commands(const char16_t* path) {
    // Each name's value takes a GetPrivateProfileStringW call, which reads the file again:
    // a section of many names would cost time with the square of its length. The names
    // that can change nothing are not read: one repeated in this file (Windows answers
    // its first value, stored already), and once the table is full one it does not hold
    // (read only for the trace of the first few). And no more than `most_names` names are
    // looked at.
    constexpr int most_names = 1000, traced_no_room = 10;
    bool from_this_file[max_custom_commands] = {};
    int no_room = 0, looked_at = 0;
    text::Growable names, value;
    uint32_t size = 0;
    uint32_t count = read_profile_text(nullptr, names, 2, path, &size);
    if (count == size - 2) trace(u"read_commands: %ls: not enough space for names\n", path);
    names.data[size - 1] = 0;  // however the list was cut, its walk ends inside the buffer
    for (const char16_t* name = names.data; name < names.data + count && *name != 0;
         name += text::length(name) + 1) {
        if (looked_at++ == most_names) {
            trace(u"read_commands: %ls: more than %d names: the rest are not read\n", path, int32_t(most_names));
            break;
        }
        CommandEntry* entry = find_custom_command(name);
        int index = entry != nullptr ? static_cast<int>(entry - custom_commands) : custom_command_count;
        if (entry != nullptr && from_this_file[index]) continue;
        bool room = entry != nullptr || custom_command_count < max_custom_commands;
        if (!room && (log_stream == LogStream::none || ++no_room > traced_no_room)) continue;
        uint32_t n = read_profile_text(name, value, 1, path, &size);
        if (n == size - 1) trace(u"read_commands: %ls: not enough space for %ls\n", path, name);
        if (only_white_space(value.data)) continue;
        if (!room) {
            trace(u"can't add %ls = '%ls': no room\n", name, value.data);
            continue;
        }
        if (entry == nullptr) ++custom_command_count;
        store_command(custom_commands[index], name, value.data);
        from_this_file[index] = true;
    }
    if (no_room > traced_no_room)
        trace(u"read_commands: %ls: %d more names not added: no room\n", path, int32_t(no_room - traced_no_room));
    text::release(names);
    text::release(value);
}

const CommandEntry* resolve_command_name(const char16_t* name) {
    if (const CommandEntry* entry = find_custom_command(name)) return entry;
    return search_path_with_extensions(name);
}

const char16_t* command_line_start(const CommandEntry* entry) {
    const char16_t* value = entry->value;
    if (!text::needs_quotes(value)) return value;
    if (entry != &search_result) {  // a custom command's value is quoted only when it names a file
        uint32_t attributes = platform::get_file_attributes(value);
        if (attributes == platform::invalid_file_attributes || (attributes & platform::file_attribute_directory))
            return value;
    }
    return text::quoted_if_blank(value);
}

const CommandEntry* search_path_with_extensions(const char16_t* name) {
    search_result.key = text::kept_copy(name);
    search_result.value = u"";
    // Kept when found: the child's command line may start with it.
    text::Growable found;
    bool hit = false;
    if (text::find(name, u'.') != nullptr) {
        hit = find_program(name, nullptr, found);
    } else {
        char16_t* extensions = nullptr;
        if (read_env_var_heap(&extensions, u"PATHEXT") == 0)
            hit = find_program(name, extensions, found);  // each extension through the whole order
        if (extensions != nullptr) platform::release(extensions);
    }
    if (!hit) {
        text::release(found);
        return nullptr;
    }
    search_result.value = found.data;
    return &search_result;
}

int read_env_var_heap(char16_t** buffer, const char16_t* name) {
    // GetEnvironmentVariableW, as every read of the environment: a first line's PATHEXT=
    // (env's words) is what the search then uses, as the child inherits it.
    text::Growable value;
    auto read = [name](char16_t* b, uint32_t size) { return platform::get_environment_variable(name, b, size); };
    if (!text::fill(value, read)) {
        text::release(value);
        return 1;
    }
    *buffer = value.data;
    return 0;
}

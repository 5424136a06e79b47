// Custom commands and the search-path lookup. Portable code only.
#include "script/commands.h"

#include "launcher/diagnostics.h"
#include "launcher/platform.h"
#include "launcher/text.h"

CommandEntry custom_commands[max_custom_commands];
int custom_command_count = 0;
CommandEntry search_result;

namespace {

constexpr uint32_t list_size = 1024;

bool only_white_space(const char16_t* s) {
    while (text::is_space(*s)) ++s;
    return *s == 0;
}

CommandEntry* find_custom_command(const char16_t* name) {
    for (int i = 0; i < custom_command_count; ++i)
        if (text::compare_folded(custom_commands[i].key, name) == 0) return &custom_commands[i];
    return nullptr;
}

void store_command(const char16_t* name, const char16_t* value) {
    CommandEntry* entry = find_custom_command(name);
    if (entry == nullptr) {
        if (custom_command_count >= max_custom_commands) {
            trace(u"can't add %ls = '%ls': no room\n", name, value);
            return;
        }
        entry = &custom_commands[custom_command_count++];
    }
    text::copy(entry->key, 260, name);
    text::copy(entry->value, 1024, value);
}

// SearchPathW into the result record. A path that does not fit the record is not found:
// what would be left in the record is not that path.
bool search_once(const char16_t* name, const char16_t* extension) {
    search_result.value[0] = 0;
    uint32_t n = platform::search_path(name, extension, 1024, search_result.value);
    return n != 0 && n < 1024;
}

}  // namespace

void read_commands(const char16_t* path) {
    static char16_t names[list_size];
    static char16_t value[list_size];
    uint32_t count = platform::get_private_profile_string(u"commands", nullptr, nullptr, names, list_size, path);
    if (count == list_size - 1) trace(u"read_commands: %ls: not enough space for names\n", path);
    names[list_size - 1] = 0;  // however the list was cut, its walk ends inside the buffer
    for (const char16_t* name = names; name < names + count && *name != 0; name += text::length(name) + 1) {
        uint32_t n = platform::get_private_profile_string(u"commands", name, nullptr, value, list_size, path);
        if (n == list_size - 1) trace(u"read_commands: %ls: not enough space for %ls\n", path, name);
        if (!only_white_space(value)) store_command(name, value);
    }
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
    // The key is only a record of the name; a name of 260 or more is kept cut there,
    // while the search itself uses the whole name.
    text::copy(search_result.key, 260, name);
    if (text::find(name, u'.') != nullptr) return search_once(name, nullptr) ? &search_result : nullptr;

    char16_t* extensions = nullptr;
    if (read_env_var_heap(&extensions, u"PATHEXT") != 0) {
        if (extensions != nullptr) platform::release(extensions);
        return nullptr;
    }
    // Split at ";" as wcstok_s does: empty items are skipped.
    bool found = false;
    for (char16_t* item = extensions; !found && *item != 0;) {
        char16_t* end = item;
        while (*end != 0 && *end != u';') ++end;
        bool last = *end == 0;
        *end = 0;
        if (end != item) found = search_once(name, item);
        item = last ? end : end + 1;
    }
    platform::release(extensions);
    return found ? &search_result : nullptr;
}

int read_env_var_heap(char16_t** buffer, const char16_t* name) {
    size_t required = 0;
    platform::wgetenv_s(&required, nullptr, 0, name);
    if (required == 0) return 1;
    auto* copy = static_cast<char16_t*>(platform::allocate(required * sizeof(char16_t)));
    if (copy == nullptr) return 1;
    *buffer = copy;
    return platform::wgetenv_s(&required, copy, required, name);
}
